#include "Platform/Net/UrlError.h"

namespace platform {

namespace {

const char* describe(UrlError::Code code) {
    switch (code) {
    case UrlError::Code::cancelled: return "cancelled";
    case UrlError::Code::timedOut: return "The request timed out.";
    case UrlError::Code::cannotConnect: return "Could not connect to the server.";
    case UrlError::Code::connectionLost: return "The network connection was lost.";
    case UrlError::Code::tooManyRedirects: return "There were too many redirects.";
    case UrlError::Code::other: break;
    }
    return "A network error occurred.";
}

}  // namespace

UrlError::UrlError(Code code, std::string detail) : code_(code), detail_(std::move(detail)) {
    message_ = describe(code);
    // The cancelled error's text is fixed; other texts carry curl's detail for the log.
    if (code != Code::cancelled && !detail_.empty()) message_ += " (" + detail_ + ")";
}

}  // namespace platform

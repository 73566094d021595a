#pragma once

#include <exception>
#include <string>

namespace platform {

// A transport failure of an HTTP request: what the request never got to answer.
class UrlError : public std::exception {
public:
    enum class Code { cancelled, timedOut, cannotConnect, connectionLost, tooManyRedirects, other };

    UrlError(Code code, std::string detail = {});

    Code code() const { return code_; }
    const std::string& detail() const { return detail_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Code code_;
    std::string detail_;
    std::string message_;
};

}  // namespace platform

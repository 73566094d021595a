#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "Platform/Net/HttpHeaders.h"
#include "Platform/Net/UrlError.h"

namespace platform {

// A transfer that moves fewer bytes than this over the whole window counts as timed out,
// like one that stalls: a server that trickles a byte now and then would otherwise hold a
// request for ever. Head and body bytes both count.
struct MinimumPace {
    long bytesPerSecond = 1024;
    std::chrono::seconds window{60};
};

struct HttpRequest {
    std::string url;
    std::string method = "GET";  // "GET" or "HEAD"
    HttpHeaders headers;
    // Inactivity limit: connecting, and then any stretch without a byte, may last this long.
    // There is deliberately no limit on the whole transfer, so large files are never cut off.
    long idleTimeoutSeconds = 60;
    MinimumPace minimumPace;
    // Redirects are followed over http and https only, at most maxRedirects of them. A
    // redirect to another host never carries the "Authorization" header along.
    bool followRedirects = false;
    long maxRedirects = 10;
    // The most body bytes collected into HttpResponse::body; a longer answer fails with
    // UrlError rather than exhaust memory. A stream handler takes the body unlimited.
    size_t maxBodySize = 256u * 1024 * 1024;
};

struct HttpResponse {
    long status = 0;
    std::string url;      // the URL that gave this answer (after any followed redirect)
    HttpHeaders headers;  // of this answer only
    std::string body;     // empty when the body went to a stream handler
};

// Lets a caller take the body as it arrives instead of holding it whole.
struct HttpStreamHandler {
    // Called once, with status and headers, before the first body byte. Returning false ends
    // the transfer quietly: send() then returns the response without a body.
    std::function<bool(const HttpResponse&)> onResponse;
    // Body bytes in arrival order. An exception thrown here ends the transfer and leaves send().
    std::function<void(const char* data, size_t size)> onBody;
};

// Sends one request on the calling thread and blocks until it ends. Transport failures
// (no connection, time-out or a pace below the minimum, dropped connection, too many redirects, stop requested)
// throw UrlError; any HTTP status is an answer and is returned.
HttpResponse send(const HttpRequest& request, std::stop_token stop = {}, const HttpStreamHandler* stream = nullptr);

// Absolute http(s) URL split into the parts we build URLs from; nullopt when the text is
// not such a URL.
struct UrlParts {
    std::string scheme;
    std::string host;
    std::optional<std::string> port;
    std::string path;
    std::optional<std::string> query;
};
std::optional<UrlParts> parseHttpUrl(const std::string& text);
std::string composeUrl(const UrlParts& parts);

// Percent-encodes one piece of a URL path (UTF-8). A "/" stays a separator when keepSlash
// is true and becomes %2F otherwise.
std::string percentEncodePath(std::string_view text, bool keepSlash);

}  // namespace platform

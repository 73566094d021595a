#include "Platform/Net/HttpClient.h"

#include <curl/curl.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>

namespace platform {

namespace {

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Transfer {
    const HttpStreamHandler* stream = nullptr;
    bool followRedirects = false;
    std::stop_token stop;
    HttpResponse response;
    bool responseAnnounced = false;
    bool stoppedByCaller = false;
    size_t maxBodySize = 0;
    bool bodyTooLarge = false;
    std::exception_ptr callbackError;
    CURL* handle = nullptr;
    // Inactivity watch: the last time any byte moved, and the limit.
    std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
    curl_off_t lastBytes = 0;
    std::chrono::seconds idleLimit{60};
    bool idleTimedOut = false;
    // Pace watch: head bytes (which the progress figures leave out) and samples of the byte
    // count over the last window.
    curl_off_t headBytes = 0;
    MinimumPace minimumPace;
    std::deque<std::pair<std::chrono::steady_clock::time_point, curl_off_t>> paceSamples;
    bool tooSlow = false;
};

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

bool announceResponse(Transfer& transfer);

size_t onHeader(char* data, size_t size, size_t count, void* context) {
    auto& transfer = *static_cast<Transfer*>(context);
    const std::string_view line(data, size * count);
    transfer.headBytes += static_cast<curl_off_t>(line.size());
    if (line.starts_with("HTTP/")) {
        // A new answer begins (after a redirect or a 100 Continue): earlier headers are stale.
        transfer.response.headers.clear();
        const auto space = line.find(' ');
        if (space != std::string_view::npos) transfer.response.status = std::atol(std::string(line.substr(space + 1, 3)).c_str());
        return size * count;
    }
    const auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        transfer.response.headers.add(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
        return size * count;
    }
    if (trim(line).empty()) {
        // The head of an answer is complete. Unless it is interim or a redirect that libcurl
        // is about to follow, it is the answer: the caller hears of it before any body byte,
        // so a connection lost right after the head counts as a transfer that began.
        const long status = transfer.response.status;
        const bool followed = transfer.followRedirects && status >= 300 && status <= 399 && transfer.response.headers.value("Location");
        if (status >= 200 && !followed) {
            try {
                if (!announceResponse(transfer)) return CURL_WRITEFUNC_ERROR;
            } catch (...) {
                transfer.callbackError = std::current_exception();
                return CURL_WRITEFUNC_ERROR;
            }
        }
    }
    return size * count;
}

void fillFinalFacts(Transfer& transfer) {
    long status = 0;
    curl_easy_getinfo(transfer.handle, CURLINFO_RESPONSE_CODE, &status);
    if (status != 0) transfer.response.status = status;
    char* effective = nullptr;
    curl_easy_getinfo(transfer.handle, CURLINFO_EFFECTIVE_URL, &effective);
    if (effective) transfer.response.url = effective;
}

// False when the caller declined the body.
bool announceResponse(Transfer& transfer) {
    if (transfer.responseAnnounced) return !transfer.stoppedByCaller;
    transfer.responseAnnounced = true;
    fillFinalFacts(transfer);
    if (transfer.stream && transfer.stream->onResponse && !transfer.stream->onResponse(transfer.response)) {
        transfer.stoppedByCaller = true;
        return false;
    }
    return true;
}

size_t onBody(char* data, size_t size, size_t count, void* context) {
    auto& transfer = *static_cast<Transfer*>(context);
    const size_t length = size * count;
    try {
        if (!announceResponse(transfer)) return CURL_WRITEFUNC_ERROR;
        if (transfer.stream && transfer.stream->onBody) {
            transfer.stream->onBody(data, length);
        } else if (length > transfer.maxBodySize - transfer.response.body.size()) {
            transfer.bodyTooLarge = true;
            return CURL_WRITEFUNC_ERROR;
        } else {
            transfer.response.body.append(data, length);
        }
    } catch (...) {
        transfer.callbackError = std::current_exception();
        return CURL_WRITEFUNC_ERROR;
    }
    return length;
}

// True when the bytes of the last window fall short of the minimum pace. The samples are
// thinned to a few per second, so a fast transfer keeps only a short list.
bool belowPace(Transfer& transfer, std::chrono::steady_clock::time_point now, curl_off_t bytes) {
    const auto window = transfer.minimumPace.window;
    if (transfer.minimumPace.bytesPerSecond <= 0 || window.count() <= 0) return false;
    auto& samples = transfer.paceSamples;
    if (samples.empty() || now - samples.back().first >= std::chrono::milliseconds(100)) samples.emplace_back(now, bytes);
    // Keep the newest sample that is at least a window old: it starts the window measured.
    while (samples.size() > 1 && now - samples[1].first >= window) samples.pop_front();
    const auto [start, startBytes] = samples.front();
    if (now - start < window) return false;
    const double seconds = std::chrono::duration<double>(now - start).count();
    return static_cast<double>(bytes - startBytes) < static_cast<double>(transfer.minimumPace.bytesPerSecond) * seconds;
}

int onProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
    auto& transfer = *static_cast<Transfer*>(context);
    if (transfer.stop.stop_requested()) return 1;
    // libcurl's own low-speed check averages over several seconds, so a stall right after a
    // fast stretch would go unnoticed for far longer than the limit. We watch bytes instead.
    const auto now = std::chrono::steady_clock::now();
    const curl_off_t bytes = downloaded + uploaded + transfer.headBytes;
    if (bytes != transfer.lastBytes) {
        transfer.lastBytes = bytes;
        transfer.lastActivity = now;
    } else if (now - transfer.lastActivity >= transfer.idleLimit) {
        transfer.idleTimedOut = true;
        return 1;
    }
    if (belowPace(transfer, now, bytes)) {
        transfer.tooSlow = true;
        return 1;
    }
    return 0;
}

UrlError toUrlError(CURLcode code, const char* detail) {
    const std::string text = detail && *detail ? detail : curl_easy_strerror(code);
    switch (code) {
    case CURLE_ABORTED_BY_CALLBACK: return UrlError(UrlError::Code::cancelled);
    case CURLE_OPERATION_TIMEDOUT: return UrlError(UrlError::Code::timedOut, text);
    case CURLE_COULDNT_CONNECT:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return UrlError(UrlError::Code::cannotConnect, text);
    case CURLE_TOO_MANY_REDIRECTS: return UrlError(UrlError::Code::tooManyRedirects, text);
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return UrlError(UrlError::Code::connectionLost, text);
    default: return UrlError(UrlError::Code::other, text);
    }
}

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::optional<std::string> urlPart(CURLU* url, CURLUPart part) {
    char* value = nullptr;
    if (curl_url_get(url, part, &value, 0) != CURLUE_OK || !value) return std::nullopt;
    std::string text = value;
    curl_free(value);
    return text;
}

}  // namespace

HttpResponse send(const HttpRequest& request, std::stop_token stop, const HttpStreamHandler* stream) {
    initialiseCurlOnce();
    if (stop.stop_requested()) throw UrlError(UrlError::Code::cancelled);
    std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
    if (!handle) throw UrlError(UrlError::Code::other, "could not create a transfer");

    Transfer transfer;
    transfer.stream = stream;
    transfer.followRedirects = request.followRedirects;
    transfer.stop = stop;
    transfer.handle = handle.get();
    transfer.response.url = request.url;
    transfer.maxBodySize = request.maxBodySize;

    curl_slist* rawList = nullptr;
    for (const auto& [name, value] : request.headers.fields()) {
        rawList = curl_slist_append(rawList, (name + ": " + value).c_str());
    }
    std::unique_ptr<curl_slist, CurlDeleter> headerList(rawList);
    char errorText[CURL_ERROR_SIZE] = {};

    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorText);
    if (request.method == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (request.method != "GET") {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, request.idleTimeoutSeconds);
    transfer.idleLimit = std::chrono::seconds(request.idleTimeoutSeconds);
    transfer.minimumPace = request.minimumPace;
    if (request.followRedirects) {
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, request.maxRedirects);
        curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        // Credentials stay with the host they were meant for (libcurl's default, made explicit).
        curl_easy_setopt(h, CURLOPT_UNRESTRICTED_AUTH, 0L);
    }
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);

    const CURLcode result = curl_easy_perform(h);
    if (transfer.callbackError) std::rethrow_exception(transfer.callbackError);
    if (transfer.bodyTooLarge) {
        throw UrlError(UrlError::Code::other, "the answer is larger than " + std::to_string(request.maxBodySize) + " bytes");
    }
    if (result == CURLE_WRITE_ERROR && transfer.stoppedByCaller) {
        fillFinalFacts(transfer);
        return std::move(transfer.response);
    }
    if (result != CURLE_OK) {
        if (result == CURLE_ABORTED_BY_CALLBACK && transfer.idleTimedOut) {
            throw UrlError(UrlError::Code::timedOut, "no data for " + std::to_string(request.idleTimeoutSeconds) + " s");
        }
        if (result == CURLE_ABORTED_BY_CALLBACK && transfer.tooSlow) {
            throw UrlError(UrlError::Code::timedOut, "slower than " + std::to_string(request.minimumPace.bytesPerSecond) +
                                                         " bytes/s for " + std::to_string(request.minimumPace.window.count()) + " s");
        }
        if (stop.stop_requested()) throw UrlError(UrlError::Code::cancelled);
        throw toUrlError(result, errorText);
    }
    // An answer without a body still reaches the stream handler once.
    announceResponse(transfer);
    if (transfer.callbackError) std::rethrow_exception(transfer.callbackError);
    fillFinalFacts(transfer);
    return std::move(transfer.response);
}

std::optional<UrlParts> parseHttpUrl(const std::string& text) {
    initialiseCurlOnce();
    std::unique_ptr<CURLU, CurlDeleter> url(curl_url());
    if (!url || text.empty() || text.find_first_of(" \t\r\n") != std::string::npos) return std::nullopt;
    if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return std::nullopt;
    UrlParts parts;
    auto scheme = urlPart(url.get(), CURLUPART_SCHEME);
    auto host = urlPart(url.get(), CURLUPART_HOST);
    if (!scheme || !host || host->empty()) return std::nullopt;
    if (*scheme != "http" && *scheme != "https") return std::nullopt;
    parts.scheme = *scheme;
    parts.host = *host;
    parts.port = urlPart(url.get(), CURLUPART_PORT);
    parts.path = urlPart(url.get(), CURLUPART_PATH).value_or("/");
    parts.query = urlPart(url.get(), CURLUPART_QUERY);
    return parts;
}

std::string composeUrl(const UrlParts& parts) {
    std::string text = parts.scheme + "://" + parts.host;
    if (parts.port) text += ":" + *parts.port;
    text += parts.path.empty() ? "/" : parts.path;
    if (parts.query) text += "?" + *parts.query;
    return text;
}

std::string percentEncodePath(std::string_view text, bool keepSlash) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = std::isalnum(byte) || std::strchr("-._~!$&'()*+,;=:@", c) != nullptr;
        if ((unreserved && byte != 0) || (keepSlash && c == '/')) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0F];
        }
    }
    return encoded;
}

}  // namespace platform

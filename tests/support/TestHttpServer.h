#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct HttpRequest {
    std::string method;
    std::string target;  // as sent: path and query
    std::string path;    // without the query; percent-decoding left to the test
    std::map<std::string, std::string> headers;  // names lower-cased
    std::string body;

    std::string header(const std::string& lowerName) const;
};

// What a handler uses to answer one request. It may answer whole (respond), or write the
// head and then the body in pieces, stall, or drop the connection half-way, which is how
// tests script interrupted downloads.
class HttpResponder {
public:
    explicit HttpResponder(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

    void respond(int status, const std::map<std::string, std::string>& headers, const std::string& body);
    // Writes the status line and headers; Content-Length is the caller's to give.
    void writeHead(int status, const std::map<std::string, std::string>& headers);
    // False once the peer has gone.
    bool writeBody(const std::string& bytes);
    // One byte at a time with a pause after each, as a server that barely sends does.
    bool trickle(const std::string& bytes, int pauseMilliseconds);
    // Closes the connection at once, whatever was promised.
    void drop();
    // Sleeps up to the given time, returning early when the server stops.
    void stall(int milliseconds);

private:
    bool writeAll(const char* data, size_t size);
    int fd_;
    const std::atomic<bool>& stopping_;
    bool closed_ = false;
};

// A small HTTP/1.1 server on a loopback address and a free port, one thread per connection,
// one request per connection (it answers "Connection: close").
class TestHttpServer {
public:
    using Handler = std::function<void(const HttpRequest&, HttpResponder&)>;

    explicit TestHttpServer(Handler handler, const std::string& address = "127.0.0.1");
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    // "http://127.0.0.1:PORT" with no trailing slash.
    std::string baseUrl() const;
    // Every request received so far, in arrival order.
    std::vector<HttpRequest> requests() const;
    void clearRequests();

private:
    void acceptLoop();
    void serve(int fd);

    Handler handler_;
    std::string address_;
    uint16_t port_ = 0;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;
    std::vector<std::thread> workers_;
    std::vector<int> openFds_;
};

}  // namespace testsupport

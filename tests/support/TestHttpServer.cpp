#include "support/TestHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

// Clients read the status code only; the phrase just has to be there.
std::string reasonPhrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 206: return "Partial Content";
        case 302: return "Found";
        case 404: return "Not Found";
        default: return "Status";
    }
}

}  // namespace

std::string HttpRequest::header(const std::string& lowerName) const {
    const auto found = headers.find(lowerName);
    return found == headers.end() ? std::string() : found->second;
}

bool HttpResponder::writeAll(const char* data, size_t size) {
    if (closed_) return false;
    while (size > 0) {
        const ssize_t written = ::send(fd_, data, size, MSG_NOSIGNAL);
        if (written <= 0) {
            closed_ = true;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

void HttpResponder::writeHead(int status, const std::map<std::string, std::string>& headers) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
    for (const auto& [name, value] : headers) head += name + ": " + value + "\r\n";
    head += "Connection: close\r\n\r\n";
    writeAll(head.data(), head.size());
}

bool HttpResponder::writeBody(const std::string& bytes) { return writeAll(bytes.data(), bytes.size()); }

bool HttpResponder::trickle(const std::string& bytes, int pauseMilliseconds) {
    for (const char byte : bytes) {
        if (stopping_ || !writeAll(&byte, 1)) return false;
        stall(pauseMilliseconds);
    }
    return true;
}

void HttpResponder::respond(int status, const std::map<std::string, std::string>& headers, const std::string& body) {
    auto all = headers;
    if (all.find("Content-Length") == all.end()) all["Content-Length"] = std::to_string(body.size());
    writeHead(status, all);
    writeBody(body);
}

void HttpResponder::drop() {
    if (closed_) return;
    ::shutdown(fd_, SHUT_RDWR);
    closed_ = true;
}

void HttpResponder::stall(int milliseconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!stopping_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

TestHttpServer::TestHttpServer(Handler handler, const std::string& address)
    : handler_(std::move(handler)), address_(address) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throw std::runtime_error("socket failed");
    const int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) throw std::runtime_error("bad address " + address);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("bind failed on " + address);
    }
    socklen_t length = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    ::listen(listenFd_, 64);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    stopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptThread_.join();
    ::close(listenFd_);
    std::vector<std::thread> workers;
    {
        std::scoped_lock lock(mutex_);
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);
        workers.swap(workers_);
    }
    for (auto& worker : workers) worker.join();
}

std::string TestHttpServer::baseUrl() const { return "http://" + address_ + ":" + std::to_string(port_); }

std::vector<HttpRequest> TestHttpServer::requests() const {
    std::scoped_lock lock(mutex_);
    return requests_;
}

void TestHttpServer::clearRequests() {
    std::scoped_lock lock(mutex_);
    requests_.clear();
}

void TestHttpServer::acceptLoop() {
    while (!stopping_) {
        pollfd pfd{listenFd_, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::scoped_lock lock(mutex_);
        openFds_.push_back(fd);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

void TestHttpServer::serve(int fd) {
    std::string buffer;
    char chunk[8192];
    size_t headerEnd = std::string::npos;
    while (headerEnd == std::string::npos) {
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        buffer.append(chunk, static_cast<size_t>(got));
        headerEnd = buffer.find("\r\n\r\n");
    }
    if (headerEnd != std::string::npos) {
        HttpRequest request;
        std::istringstream lines(buffer.substr(0, headerEnd));
        std::string line;
        std::getline(lines, line);
        std::istringstream(line) >> request.method >> request.target;
        request.path = request.target.substr(0, request.target.find('?'));
        while (std::getline(lines, line)) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) request.headers[lower(line.substr(0, colon))] = trim(line.substr(colon + 1));
        }
        request.body = buffer.substr(headerEnd + 4);
        const std::string lengthText = request.header("content-length");
        const size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
        while (request.body.size() < length) {
            const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
            if (got <= 0) break;
            request.body.append(chunk, static_cast<size_t>(got));
        }
        {
            std::scoped_lock lock(mutex_);
            requests_.push_back(request);
        }
        HttpResponder responder(fd, stopping_);
        handler_(request, responder);
    }
    std::scoped_lock lock(mutex_);
    openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

}  // namespace testsupport

#include "ModelHub.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Platform/Net/Sha256.h"

namespace managertest {

namespace fs = std::filesystem;
using testsupport::HttpRequest;
using testsupport::HttpResponder;

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string sha256(const std::string& bytes) { return platform::Sha256::hex(bytes); }

namespace {

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    std::string piece;
    std::istringstream in(path);
    while (std::getline(in, piece, '/')) {
        if (!piece.empty()) parts.push_back(piece);
    }
    return parts;
}

std::string join(const std::vector<std::string>& parts, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to && i < parts.size(); ++i) text += (text.empty() ? "" : "/") + parts[i];
    return text;
}

std::string percentDecode(const std::string& text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            decoded += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

}  // namespace

ModelHub::ModelHub() {
    server_ = std::make_unique<testsupport::TestHttpServer>(
        [this](const HttpRequest& request, HttpResponder& responder) { handle(request, responder); });
    endpoint_ = server_->baseUrl();
}

std::string ModelHub::endpoint() const { return endpoint_; }

void ModelHub::addFolder(const std::string& repoId, const std::string& prefix, const fs::path& folder) {
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        setFile(repoId, prefix + "/" + entry.path().lexically_relative(folder).generic_string(), readFile(entry.path()));
    }
}

void ModelHub::setFile(const std::string& repoId, const std::string& name, std::string content) {
    std::scoped_lock lock(mutex_);
    repos_[repoId][name] = std::move(content);
    ++commits_[repoId];
}

void ModelHub::failListings(int status, int count) {
    std::scoped_lock lock(mutex_);
    failStatus_ = status;
    failCount_ = count;
}

int ModelHub::count(const std::string& method, const std::string& pathPart) const {
    std::vector<HttpRequest> requests;
    {
        std::scoped_lock lock(mutex_);
        requests = server_ ? server_->requests() : finalRequests_;
    }
    int n = 0;
    for (const auto& request : requests) {
        if (request.method == method && request.path.find(pathPart) != std::string::npos) ++n;
    }
    return n;
}

void ModelHub::clearRequests() {
    std::scoped_lock lock(mutex_);
    if (server_) server_->clearRequests();
    finalRequests_.clear();
}

void ModelHub::stop() {
    std::unique_ptr<testsupport::TestHttpServer> server;
    {
        std::scoped_lock lock(mutex_);
        if (!server_) return;
        finalRequests_ = server_->requests();
        server = std::move(server_);
    }
    server.reset();
}

void ModelHub::handle(const HttpRequest& request, HttpResponder& responder) {
    const auto parts = split(request.path);
    std::unique_lock lock(mutex_);
    if (parts.size() >= 6 && parts[0] == "api" && parts[1] == "models" && parts[parts.size() - 2] == "revision") {
        if (failCount_ > 0) {
            --failCount_;
            const int status = failStatus_;
            lock.unlock();
            return responder.respond(status, {}, "{}");
        }
        const std::string id = join(parts, 2, parts.size() - 2);
        const auto found = repos_.find(id);
        if (found == repos_.end()) {
            lock.unlock();
            return responder.respond(404, {}, "{\"error\":\"Repository not found\"}");
        }
        nlohmann::json siblings = nlohmann::json::array();
        for (const auto& [name, content] : found->second) siblings.push_back({{"rfilename", name}});
        const std::string body = nlohmann::json{{"id", id}, {"siblings", siblings}}.dump();
        lock.unlock();
        return responder.respond(200, {{"Content-Type", "application/json"}}, body);
    }
    if (parts.size() >= 5 && parts[2] == "resolve") {
        const std::string id = parts[0] + "/" + parts[1];
        const std::string name = percentDecode(join(parts, 4, parts.size()));
        const auto repo = repos_.find(id);
        if (repo == repos_.end() || !repo->second.count(name)) {
            lock.unlock();
            return responder.respond(404, {}, "");
        }
        const std::string content = repo->second.at(name);
        std::string commit = std::to_string(commits_[id]);
        commit = std::string(40 - commit.size(), '0') + commit;
        lock.unlock();
        std::map<std::string, std::string> headers{{"X-Repo-Commit", commit},
                                                   {"X-Linked-Etag", "\"" + sha256(content) + "\""}};
        if (request.method == "HEAD") {
            headers["X-Linked-Size"] = std::to_string(content.size());
            headers["Content-Length"] = "0";
            return responder.writeHead(200, headers);
        }
        size_t start = 0;
        int status = 200;
        const std::string range = request.header("range");
        if (range.starts_with("bytes=")) {
            start = std::stoul(range.substr(6));
            if (start >= content.size()) return responder.respond(416, {}, "");
            status = 206;
            headers["Content-Range"] = "bytes " + std::to_string(start) + "-" + std::to_string(content.size() - 1) +
                                       "/" + std::to_string(content.size());
        }
        return responder.respond(status, headers, content.substr(start));
    }
    lock.unlock();
    responder.respond(404, {}, "");
}

}  // namespace managertest

#include "LoopbackHub.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

namespace enginetest {

namespace fs = std::filesystem;

namespace {

std::string percentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A 40-digit hex etag from the content (not a SHA-256, so the client checks only sizes).
std::string etagOf(const std::string& content) {
    uint64_t a = 1469598103934665603ull, b = 1099511628211ull;
    for (unsigned char c : content) {
        a = (a ^ c) * 1099511628211ull;
        b = (b + c) * 6364136223846793005ull + 1442695040888963407ull;
    }
    char text[41];
    std::snprintf(text, sizeof text, "%016llx%016llx%08x", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b), static_cast<unsigned>(content.size()));
    return text;
}

const std::string kCommit = "0123456789abcdef0123456789abcdef01234567";

}  // namespace

LoopbackHub::LoopbackHub(std::string repoId, fs::path root) : repoId_(std::move(repoId)), root_(std::move(root)) {
    server_ = std::make_unique<testsupport::TestHttpServer>(
        [this](const testsupport::HttpRequest& request, testsupport::HttpResponder& responder) { handle(request, responder); });
}

void LoopbackHub::setInterruption(std::function<bool(const std::string&)> interrupts) {
    std::lock_guard lock(mutex_);
    interrupts_ = std::move(interrupts);
}

std::vector<std::string> LoopbackHub::fileDownloads() const {
    std::vector<std::string> paths;
    for (const auto& request : server_->requests()) {
        const auto path = percentDecode(request.path);
        const std::string prefix = "/" + repoId_ + "/resolve/main/";
        if (request.method == "GET" && path.rfind(prefix, 0) == 0) paths.push_back(path.substr(prefix.size()));
    }
    return paths;
}

void LoopbackHub::handle(const testsupport::HttpRequest& request, testsupport::HttpResponder& responder) const {
    const auto path = percentDecode(request.path);
    if (path == "/api/models/" + repoId_ + "/revision/main") {
        nlohmann::json siblings = nlohmann::json::array();
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(root_))
            if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), root_).generic_string());
        std::sort(names.begin(), names.end());
        for (const auto& name : names) siblings.push_back({{"rfilename", name}});
        responder.respond(200, {{"Content-Type", "application/json"}}, nlohmann::json{{"siblings", siblings}}.dump());
        return;
    }
    const std::string prefix = "/" + repoId_ + "/resolve/main/";
    if (path.rfind(prefix, 0) != 0) {
        responder.respond(404, {}, "not found");
        return;
    }
    const fs::path file = root_ / path.substr(prefix.size());
    if (!fs::is_regular_file(file)) {
        responder.respond(404, {}, "not found");
        return;
    }
    const std::string content = readFile(file);
    std::map<std::string, std::string> headers = {{"X-Repo-Commit", kCommit}, {"ETag", "\"" + etagOf(content) + "\""}};
    if (request.method == "HEAD") {
        headers["Content-Length"] = std::to_string(content.size());
        responder.writeHead(200, headers);
        return;
    }
    std::function<bool(const std::string&)> interrupts;
    {
        std::lock_guard lock(mutex_);
        interrupts = interrupts_;
    }
    if (interrupts && interrupts(path.substr(prefix.size()))) {
        headers["Content-Length"] = std::to_string(content.size());
        responder.writeHead(200, headers);
        responder.writeBody(content.substr(0, content.size() / 2));
        responder.drop();
        return;
    }
    size_t from = 0;
    const auto range = request.header("range");
    if (range.rfind("bytes=", 0) == 0) from = std::min(content.size(), static_cast<size_t>(std::stoull(range.substr(6))));
    if (from > 0) {
        headers["Content-Range"] = "bytes " + std::to_string(from) + "-" + std::to_string(content.size() - 1) + "/" +
                                   std::to_string(content.size());
        responder.respond(206, headers, content.substr(from));
    } else {
        responder.respond(200, headers, content);
    }
}

}  // namespace enginetest

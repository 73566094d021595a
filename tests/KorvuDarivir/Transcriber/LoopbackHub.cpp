#include "LoopbackHub.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace transcribertest {

namespace fs = std::filesystem;

namespace {

std::string percentDecode(const std::string& text)
{
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

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A 40-digit hex etag derived from the content (not a SHA-256, so the client checks sizes).
std::string etagOf(const std::string& content)
{
    uint64_t a = 1469598103934665603ull;
    uint64_t b = 1099511628211ull;
    for (unsigned char c : content) {
        a = (a ^ c) * 1099511628211ull;
        b = (b + c) * 6364136223846793005ull + 1442695040888963407ull;
    }
    char text[41];
    std::snprintf(text, sizeof text, "%016llx%016llx%08x", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b), static_cast<unsigned>(content.size()));
    return text;
}

const std::string kCommit = "89abcdef0123456789abcdef0123456789abcdef";

}  // namespace

LoopbackHub::LoopbackHub(std::string repoId, fs::path root) : repoId_(std::move(repoId)), root_(std::move(root))
{
    server_ = std::make_unique<testsupport::TestHttpServer>(
        [this](const testsupport::HttpRequest& request, testsupport::HttpResponder& responder) {
            handle(request, responder);
        });
}

LoopbackHub::~LoopbackHub()
{
    release();
    server_.reset();
}

void LoopbackHub::hold(const std::string& path)
{
    std::lock_guard lock(mutex_);
    held_ = path;
}

void LoopbackHub::release()
{
    {
        std::lock_guard lock(mutex_);
        held_.clear();
    }
    released_.notify_all();
}

bool LoopbackHub::holding() const
{
    std::lock_guard lock(mutex_);
    return waiting_;
}

int LoopbackHub::listings() const
{
    int count = 0;
    for (const auto& request : server_->requests()) {
        if (percentDecode(request.path) == "/api/models/" + repoId_ + "/revision/main") {
            ++count;
        }
    }
    return count;
}

std::vector<std::string> LoopbackHub::fileDownloads() const
{
    std::vector<std::string> paths;
    const std::string prefix = "/" + repoId_ + "/resolve/main/";
    for (const auto& request : server_->requests()) {
        const std::string path = percentDecode(request.path);
        if (request.method == "GET" && path.rfind(prefix, 0) == 0) {
            paths.push_back(path.substr(prefix.size()));
        }
    }
    return paths;
}

void LoopbackHub::handle(const testsupport::HttpRequest& request, testsupport::HttpResponder& responder)
{
    const std::string path = percentDecode(request.path);
    if (path == "/api/models/" + repoId_ + "/revision/main") {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (entry.is_regular_file()) {
                names.push_back(fs::relative(entry.path(), root_).generic_string());
            }
        }
        std::sort(names.begin(), names.end());
        nlohmann::json siblings = nlohmann::json::array();
        for (const auto& name : names) {
            siblings.push_back({{"rfilename", name}});
        }
        responder.respond(200, {{"Content-Type", "application/json"}}, nlohmann::json{{"siblings", siblings}}.dump());
        return;
    }
    const std::string prefix = "/" + repoId_ + "/resolve/main/";
    if (path.rfind(prefix, 0) != 0) {
        responder.respond(404, {}, "not found");
        return;
    }
    const std::string name = path.substr(prefix.size());
    const fs::path file = root_ / name;
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
    {
        std::unique_lock lock(mutex_);
        if (!held_.empty() && held_ == name) {
            waiting_ = true;
            released_.wait_for(lock, std::chrono::seconds(8), [this, &name] { return held_ != name; });
            waiting_ = false;
        }
    }
    size_t from = 0;
    const std::string range = request.header("range");
    if (range.rfind("bytes=", 0) == 0) {
        from = std::min(content.size(), static_cast<size_t>(std::stoull(range.substr(6))));
    }
    if (from > 0) {
        headers["Content-Range"] = "bytes " + std::to_string(from) + "-" + std::to_string(content.size() - 1) + "/" +
                                   std::to_string(content.size());
        responder.respond(206, headers, content.substr(from));
    } else {
        responder.respond(200, headers, content);
    }
}

}  // namespace transcribertest

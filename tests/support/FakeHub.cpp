#include "support/FakeHub.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

// The test support library has only the tests folder on its include path.
#include "Platform/Net/Sha256.h"

namespace testsupport {

namespace fs = std::filesystem;

std::string sha256(const std::string& bytes) { return platform::Sha256::hex(bytes); }

std::string makeContent(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint64_t state = 0x9E3779B97F4A7C15ULL * (seed + 1);
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        bytes[i] = static_cast<char>(state & 0xFF);
    }
    return bytes;
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

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

namespace {

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 1;
    while (start <= path.size()) {
        const size_t end = path.find('/', start);
        parts.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

std::string join(const std::vector<std::string>& parts, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to && i < parts.size(); ++i) text += (text.empty() ? "" : "/") + parts[i];
    return text;
}

std::string repoKey(const std::string& repoId) {
    if (repoId.starts_with("datasets:")) return "datasets/" + repoId.substr(9);
    if (repoId.starts_with("spaces:")) return "spaces/" + repoId.substr(7);
    return "models/" + repoId;
}

// "/{id}/resolve/{rev}/" of a repository key, for matching request paths.
std::string resolvePrefix(const std::string& key) {
    return key.starts_with("models/") ? "/" + key.substr(7) + "/resolve/" : "/" + key + "/resolve/";
}

}  // namespace

FakeHub::FakeHub() {
    main_ = std::make_unique<TestHttpServer>(
        [this](const HttpRequest& request, HttpResponder& responder) { handle(request, responder, false); }, "127.0.0.1");
    cdn_ = std::make_unique<TestHttpServer>(
        [this](const HttpRequest& request, HttpResponder& responder) { handle(request, responder, true); }, "127.0.0.2");
    endpoint_ = main_->baseUrl();
    otherHost_ = cdn_->baseUrl();
}

FakeHub::~FakeHub() { stop(); }

std::string FakeHub::commitOf(const Repo& repo) {
    if (repo.commits == 0) return std::string(40, 'c');
    const std::string number = std::to_string(repo.commits);
    return std::string(40 - number.size(), '0') + number;
}

void FakeHub::putFile(const std::string& key, const std::string& name, FakeFile file) {
    if (file.etag.empty()) file.etag = sha256(file.content);
    auto& target = repos_[key];
    if (!target.files.count(name)) target.order.push_back(name);
    target.files[name] = std::move(file);
}

void FakeHub::addFile(const std::string& repoId, const std::string& name, FakeFile file) {
    std::scoped_lock lock(mutex_);
    putFile(repoKey(repoId), name, std::move(file));
}

FakeFile& FakeHub::file(const std::string& repoId, const std::string& name) {
    std::scoped_lock lock(mutex_);
    return repos_[repoKey(repoId)].files.at(name);
}

void FakeHub::setFile(const std::string& repoId, const std::string& name, std::string content) {
    std::scoped_lock lock(mutex_);
    const std::string key = repoKey(repoId);
    ++repos_[key].commits;
    putFile(key, name, FakeFile{.content = std::move(content), .commit = ""});
}

void FakeHub::addFolder(const std::string& repoId, const fs::path& folder, const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) names.push_back(entry.path().lexically_relative(folder).generic_string());
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) setFile(repoId, prefix.empty() ? name : prefix + "/" + name, readFile(folder / name));
}

void FakeHub::setListingBody(const std::string& repoId, std::string body) {
    std::scoped_lock lock(mutex_);
    repos_[repoKey(repoId)].listingBody = std::move(body);
}

void FakeHub::setListingStatus(int status) {
    std::scoped_lock lock(mutex_);
    listingStatus_ = status;
}

void FakeHub::failListings(int status, int count) {
    std::scoped_lock lock(mutex_);
    failStatus_ = status;
    failCount_ = count;
}

void FakeHub::setInterruption(std::function<bool(const std::string&)> interrupts) {
    std::scoped_lock lock(mutex_);
    interrupts_ = std::move(interrupts);
}

void FakeHub::hold(const std::string& path) {
    std::scoped_lock lock(mutex_);
    held_ = path;
}

void FakeHub::release() {
    {
        std::scoped_lock lock(mutex_);
        held_.clear();
    }
    released_.notify_all();
}

bool FakeHub::holding() const {
    std::scoped_lock lock(mutex_);
    return waiting_;
}

std::vector<HttpRequest> FakeHub::requests() const {
    std::scoped_lock lock(mutex_);
    return main_ ? main_->requests() : finalRequests_;
}

std::vector<HttpRequest> FakeHub::cdnRequests() const {
    std::scoped_lock lock(mutex_);
    return cdn_ ? cdn_->requests() : finalCdnRequests_;
}

int FakeHub::count(const std::string& method, const std::string& pathPart) const {
    int n = 0;
    for (const auto& request : requests()) {
        if (request.method == method && request.path.find(pathPart) != std::string::npos) ++n;
    }
    return n;
}

int FakeHub::listings(const std::string& repoId) const {
    const std::string key = repoKey(repoId);
    const std::string prefix = "/api/" + key + "/revision/";
    int n = 0;
    for (const auto& request : requests()) {
        if (percentDecode(request.path).starts_with(prefix)) ++n;
    }
    return n;
}

std::vector<std::string> FakeHub::fileDownloads(const std::string& repoId) const {
    const std::string prefix = resolvePrefix(repoKey(repoId));
    std::vector<std::string> paths;
    for (const auto& request : requests()) {
        const std::string path = percentDecode(request.path);
        if (request.method != "GET" || !path.starts_with(prefix)) continue;
        const size_t afterRevision = path.find('/', prefix.size());
        if (afterRevision != std::string::npos) paths.push_back(path.substr(afterRevision + 1));
    }
    return paths;
}

void FakeHub::clearRequests() {
    std::scoped_lock lock(mutex_);
    if (main_) main_->clearRequests();
    if (cdn_) cdn_->clearRequests();
    finalRequests_.clear();
    finalCdnRequests_.clear();
}

void FakeHub::stop() {
    release();
    // The servers join their handlers, which take the lock: they end outside it, the main
    // one first (its redirects name the other host).
    std::unique_ptr<TestHttpServer> server;
    {
        std::scoped_lock lock(mutex_);
        if (main_) finalRequests_ = main_->requests();
        server = std::move(main_);
    }
    server.reset();
    {
        std::scoped_lock lock(mutex_);
        if (cdn_) finalCdnRequests_ = cdn_->requests();
        server = std::move(cdn_);
    }
    server.reset();
}

void FakeHub::waitWhileHeld(const std::string& name) {
    std::unique_lock lock(mutex_);
    if (held_.empty() || held_ != name) return;
    waiting_ = true;
    released_.wait_for(lock, std::chrono::seconds(8), [this, &name] { return held_ != name; });
    waiting_ = false;
}

void FakeHub::handle(const HttpRequest& request, HttpResponder& responder, bool onCdn) {
    const auto parts = split(request.path);
    if (onCdn) {
        // /cdn/{type}/{owner}/{name}/{file...}
        if (parts.size() < 5 || parts[0] != "cdn") return responder.respond(404, {}, "");
        const std::string key = parts[1] + "/" + parts[2] + "/" + parts[3];
        const std::string name = percentDecode(join(parts, 4, parts.size()));
        return serveUnscripted(request, responder, key, name);
    }
    if (parts.size() >= 5 && parts[0] == "api" && parts[parts.size() - 2] == "revision") {
        std::unique_lock lock(mutex_);
        int status = listingStatus_;
        if (status == 0 && failCount_ > 0) {
            --failCount_;
            status = failStatus_;
        }
        if (status != 0) return lock.unlock(), responder.respond(status, {}, "{}");
        const std::string key = parts[1] + "/" + join(parts, 2, parts.size() - 2);
        const auto found = repos_.find(key);
        if (found == repos_.end()) return lock.unlock(), responder.respond(404, {}, "{\"error\":\"Repository not found\"}");
        std::string body = found->second.listingBody;
        if (body.empty()) {
            nlohmann::json siblings = nlohmann::json::array();
            for (const auto& name : found->second.order) {
                siblings.push_back({{"rfilename", name}, {"size", found->second.files[name].content.size()}});
            }
            body = nlohmann::json{{"id", join(parts, 2, parts.size() - 2)}, {"sha", commitOf(found->second)}, {"siblings", siblings}}.dump();
        }
        lock.unlock();
        return responder.respond(200, {{"Content-Type", "application/json"}}, body);
    }
    // [/datasets|/spaces]/{owner}/{name}/resolve/{rev}/{file}
    size_t at = 0;
    std::string type = "models";
    if (!parts.empty() && (parts[0] == "datasets" || parts[0] == "spaces")) type = parts[at++];
    if (parts.size() >= at + 5 && parts[at + 2] == "resolve") {
        const std::string key = type + "/" + parts[at] + "/" + parts[at + 1];
        const std::string name = percentDecode(join(parts, at + 4, parts.size()));
        std::unique_lock lock(mutex_);
        auto found = repos_.find(key);
        if (found == repos_.end() || !found->second.files.count(name)) return lock.unlock(), responder.respond(404, {}, "");
        FakeFile& file = found->second.files[name];
        const std::string commit = file.commit.empty() ? commitOf(found->second) : file.commit;
        if (file.redirect == "cross") {
            const std::string target = otherHost_ + "/cdn/" + key + "/" + join(parts, at + 4, parts.size());
            std::map<std::string, std::string> headers{{"Location", target}, {"Content-Length", "0"}};
            if (file.sendCommit) headers["X-Repo-Commit"] = commit;
            headers["X-Linked-Etag"] = "\"" + file.etag + "\"";
            headers["X-Linked-Size"] = std::to_string(file.content.size());
            lock.unlock();
            responder.writeHead(302, headers);
            return;
        }
        if (file.redirect == "relative") {
            lock.unlock();
            responder.writeHead(307, {{"Location", "/mirror" + request.path + "?from=hub"}, {"Content-Length", "0"}});
            return;
        }
        lock.unlock();
        return serveFile(request, responder, file, name, commit, true);
    }
    if (parts.size() >= 1 && parts[0] == "mirror") {
        // The target of a relative redirect: the same resolve path below /mirror.
        HttpRequest inner = request;
        inner.path = request.path.substr(std::string("/mirror").size());
        const auto innerParts = split(inner.path);
        size_t i = 0;
        std::string innerType = "models";
        if (!innerParts.empty() && (innerParts[0] == "datasets" || innerParts[0] == "spaces")) innerType = innerParts[i++];
        if (innerParts.size() < i + 5) return responder.respond(404, {}, "");
        const std::string key = innerType + "/" + innerParts[i] + "/" + innerParts[i + 1];
        const std::string name = percentDecode(join(innerParts, i + 4, innerParts.size()));
        return serveUnscripted(inner, responder, key, name);
    }
    responder.respond(404, {}, "");
}

void FakeHub::serveUnscripted(const HttpRequest& request, HttpResponder& responder, const std::string& key,
                              const std::string& name) {
    std::unique_lock lock(mutex_);
    auto found = repos_.find(key);
    if (found == repos_.end() || !found->second.files.count(name)) return lock.unlock(), responder.respond(404, {}, "");
    FakeFile copy = found->second.files[name];
    const std::string commit = commitOf(found->second);
    lock.unlock();
    copy.redirect.clear();
    serveFile(request, responder, copy, name, commit, false);
}

void FakeHub::serveFile(const HttpRequest& request, HttpResponder& responder, FakeFile& file, const std::string& name,
                        const std::string& repoCommit, bool scripted) {
    if (request.method == "GET") waitWhileHeld(name);
    int dropNow = 0;
    int stallNow = 0;
    FakeFile snapshot;
    {
        std::scoped_lock lock(mutex_);
        if (scripted && request.method == "GET") {
            if (file.dropTimes > 0 && file.dropAfter >= 0) dropNow = file.dropTimes--;
            if (file.stallTimes > 0 && file.stallAfter >= 0) stallNow = file.stallTimes--;
        }
        snapshot = file;
        if (request.method == "GET" && interrupts_ && interrupts_(name)) {
            snapshot.dropAfter = static_cast<long>(snapshot.content.size() / 2);
            dropNow = 1;
        }
    }
    if (snapshot.commit.empty()) snapshot.commit = repoCommit;
    if (snapshot.status != 0) return responder.respond(snapshot.status, {}, "");

    std::map<std::string, std::string> headers;
    if (snapshot.sendCommit) headers["X-Repo-Commit"] = snapshot.commit;
    if (!snapshot.etagHeader.empty()) headers[snapshot.etagHeader] = "\"" + snapshot.etag + "\"";
    const std::string size = snapshot.sizeOverride.empty() ? std::to_string(snapshot.content.size()) : snapshot.sizeOverride;
    if (request.method == "HEAD") {
        if (snapshot.sizeHeader == "X-Linked-Size") headers["X-Linked-Size"] = size;
        if (snapshot.sizeHeader == "Content-Length") headers["Content-Length"] = size;
        if (snapshot.sizeHeader == "X-Linked-Size") headers["Content-Length"] = "0";  // the hub's own redirect body
        return responder.writeHead(200, headers);
    }
    size_t start = 0;
    int status = 200;
    const std::string range = request.header("range");
    if (!range.empty() && !snapshot.ignoreRange) {
        start = std::stoul(range.substr(std::string("bytes=").size()));
        if (start >= snapshot.content.size()) return responder.respond(416, {}, "");
        status = 206;
        headers["Content-Range"] = "bytes " + std::to_string(start) + "-" + std::to_string(snapshot.content.size() - 1) + "/" +
                                   std::to_string(snapshot.content.size());
    }
    headers["Content-Length"] = std::to_string(snapshot.content.size() - start);
    headers.erase("X-Linked-Size");
    responder.writeHead(status, headers);
    const size_t piece = 65536;
    size_t sent = 0;
    const size_t total = snapshot.content.size() - start;
    while (sent < total) {
        size_t next = std::min(piece, total - sent);
        if (dropNow && snapshot.dropAfter >= 0) next = std::min(next, static_cast<size_t>(snapshot.dropAfter) - std::min(sent, static_cast<size_t>(snapshot.dropAfter)));
        if (stallNow && snapshot.stallAfter >= 0 && sent < static_cast<size_t>(snapshot.stallAfter)) {
            next = std::min(next, static_cast<size_t>(snapshot.stallAfter) - sent);
        }
        if (next > 0 && !responder.writeBody(snapshot.content.substr(start + sent, next))) return;
        sent += next;
        if (dropNow && snapshot.dropAfter >= 0 && sent >= static_cast<size_t>(snapshot.dropAfter)) return responder.drop();
        if (stallNow && snapshot.stallAfter >= 0 && sent == static_cast<size_t>(snapshot.stallAfter)) {
            responder.stall(snapshot.stallMilliseconds);
            stallNow = 0;
        }
        if (snapshot.chunkDelayMilliseconds > 0) responder.stall(snapshot.chunkDelayMilliseconds);
    }
}

}  // namespace testsupport

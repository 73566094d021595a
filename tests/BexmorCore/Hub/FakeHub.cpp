#include "FakeHub.h"

#include <nlohmann/json.hpp>

#include "Platform/Net/Sha256.h"

namespace hubtest {

using testsupport::HttpRequest;
using testsupport::HttpResponder;

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

}  // namespace

FakeHub::FakeHub() {
    main_ = std::make_unique<testsupport::TestHttpServer>(
        [this](const HttpRequest& request, HttpResponder& responder) { handle(request, responder, false); }, "127.0.0.1");
    cdn_ = std::make_unique<testsupport::TestHttpServer>(
        [this](const HttpRequest& request, HttpResponder& responder) { handle(request, responder, true); }, "127.0.0.2");
}

FakeHub::Repo& FakeHub::repo(const std::string& key) { return repos_[key]; }

void FakeHub::addFile(const std::string& repoId, const std::string& name, FakeFile file) {
    if (file.etag.empty()) file.etag = sha256(file.content);
    std::scoped_lock lock(mutex_);
    auto& target = repo(repoKey(repoId));
    if (!target.files.count(name)) target.order.push_back(name);
    target.files[name] = std::move(file);
}

FakeFile& FakeHub::file(const std::string& repoId, const std::string& name) {
    std::scoped_lock lock(mutex_);
    return repo(repoKey(repoId)).files.at(name);
}

void FakeHub::setListingBody(const std::string& repoId, std::string body) {
    std::scoped_lock lock(mutex_);
    repo(repoKey(repoId)).listingBody = std::move(body);
}

std::vector<HttpRequest> FakeHub::requests() const { return main_->requests(); }

int FakeHub::count(const std::string& method, const std::string& pathPart) const {
    int n = 0;
    for (const auto& request : main_->requests()) {
        if (request.method == method && request.path.find(pathPart) != std::string::npos) ++n;
    }
    return n;
}

void FakeHub::clearRequests() {
    main_->clearRequests();
    cdn_->clearRequests();
}

void FakeHub::handle(const HttpRequest& request, HttpResponder& responder, bool onCdn) {
    const auto parts = split(request.path);
    if (onCdn) {
        // /cdn/{type}/{owner}/{name}/{file...}
        if (parts.size() < 5 || parts[0] != "cdn") return responder.respond(404, {}, "");
        const std::string key = parts[1] + "/" + parts[2] + "/" + parts[3];
        const std::string name = percentDecode(join(parts, 4, parts.size()));
        std::unique_lock lock(mutex_);
        auto found = repos_.find(key);
        if (found == repos_.end() || !found->second.files.count(name)) return lock.unlock(), responder.respond(404, {}, "");
        FakeFile copy = found->second.files[name];
        lock.unlock();
        return serveFile(request, responder, copy, false);
    }
    if (parts.size() >= 5 && parts[0] == "api" && parts[parts.size() - 2] == "revision") {
        if (const int status = listingStatus_) return responder.respond(status, {}, "{}");
        const std::string key = parts[1] + "/" + join(parts, 2, parts.size() - 2);
        std::scoped_lock lock(mutex_);
        const auto found = repos_.find(key);
        if (found == repos_.end()) return responder.respond(404, {}, "{\"error\":\"Repository not found\"}");
        if (!found->second.listingBody.empty()) return responder.respond(200, {{"Content-Type", "application/json"}}, found->second.listingBody);
        nlohmann::json siblings = nlohmann::json::array();
        for (const auto& name : found->second.order) siblings.push_back({{"rfilename", name}, {"size", found->second.files[name].content.size()}});
        const nlohmann::json body = {{"id", join(parts, 2, parts.size() - 2)}, {"sha", std::string(40, 'c')}, {"siblings", siblings}};
        return responder.respond(200, {{"Content-Type", "application/json"}}, body.dump());
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
        if (file.redirect == "cross") {
            const std::string target = cdn_->baseUrl() + "/cdn/" + key + "/" + join(parts, at + 4, parts.size());
            std::map<std::string, std::string> headers{{"Location", target}, {"Content-Length", "0"}};
            if (file.sendCommit) headers["X-Repo-Commit"] = file.commit;
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
        FakeFile& scripted = file;
        lock.unlock();
        return serveFile(request, responder, scripted, true);
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
        std::unique_lock lock(mutex_);
        auto found = repos_.find(key);
        if (found == repos_.end() || !found->second.files.count(name)) return lock.unlock(), responder.respond(404, {}, "");
        FakeFile copy = found->second.files[name];
        lock.unlock();
        copy.redirect.clear();
        return serveFile(inner, responder, copy, false);
    }
    responder.respond(404, {}, "");
}

void FakeHub::serveFile(const HttpRequest& request, HttpResponder& responder, FakeFile& file, bool scripted) {
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
    }
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

}  // namespace hubtest

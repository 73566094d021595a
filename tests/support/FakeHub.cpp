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

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

namespace {

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

// The segments of a path after its leading slash.
std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    for (size_t start = 1, end = 0; start <= path.size(); start = end + 1) {
        end = std::min(path.find('/', start), path.size());
        parts.push_back(path.substr(start, end - start));
    }
    return parts;
}

std::string join(const std::vector<std::string>& parts, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to && i < parts.size(); ++i) text += (text.empty() ? "" : "/") + parts[i];
    return text;
}

}  // namespace

FakeHub::FakeHub()
    : main_(std::make_unique<TestHttpServer>([this](const HttpRequest& r, HttpResponder& w) { handle(r, w, false); }, "127.0.0.1")),
      cdn_(std::make_unique<TestHttpServer>([this](const HttpRequest& r, HttpResponder& w) { handle(r, w, true); }, "127.0.0.2")) {
    endpoint_ = main_->baseUrl();
    otherHost_ = cdn_->baseUrl();
}

FakeHub::~FakeHub() { stop(); }

std::string FakeHub::commitOf(const Repo& repo) {
    if (repo.commits == 0) return std::string(40, 'c');
    const std::string number = std::to_string(repo.commits);
    return std::string(40 - number.size(), '0') + number;
}

void FakeHub::putFile(const std::string& repoId, const std::string& name, FakeFile file) {
    if (file.etag.empty()) file.etag = sha256(file.content);
    auto& repo = repos_[repoId];
    if (!repo.files.count(name)) repo.order.push_back(name);
    repo.files[name] = std::move(file);
}

void FakeHub::addFile(const std::string& repoId, const std::string& name, FakeFile file) {
    std::scoped_lock lock(mutex_);
    putFile(repoId, name, std::move(file));
}

void FakeHub::setFile(const std::string& repoId, const std::string& name, std::string content) {
    std::scoped_lock lock(mutex_);
    ++repos_[repoId].commits;
    putFile(repoId, name, FakeFile{.content = std::move(content), .commit = ""});
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
    repos_[repoId].listingBody = std::move(body);
}

void FakeHub::failListings(int status, int count) {
    std::scoped_lock lock(mutex_);
    failStatus_ = status;
    failCount_ = count;
}

void FakeHub::trickleListings(int pauseMilliseconds, int count) {
    std::scoped_lock lock(mutex_);
    tricklePause_ = pauseMilliseconds;
    trickleCount_ = count;
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
    const auto all = requests();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const HttpRequest& request) {
        return request.method == method && request.path.find(pathPart) != std::string::npos;
    }));
}

int FakeHub::listings(const std::string& repoId) const {
    const auto all = requests();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const HttpRequest& request) {
        return percentDecode(request.path).starts_with("/api/models/" + repoId + "/revision/");
    }));
}

std::vector<std::string> FakeHub::fileDownloads(const std::string& repoId) const {
    const std::string prefix = "/" + repoId + "/resolve/";
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

void FakeHub::handle(const HttpRequest& request, HttpResponder& responder, bool onCdn) {
    const auto parts = split(request.path);
    if (onCdn) {
        // /cdn/models/{owner}/{name}/{file...}
        if (parts.size() < 5 || parts[0] != "cdn" || parts[1] != "models") return responder.respond(404, {}, "");
        return serveFile(request, responder, parts[2] + "/" + parts[3], join(parts, 4, parts.size()), true);
    }
    if (parts.size() >= 5 && parts[0] == "api" && parts[1] == "models" && parts[parts.size() - 2] == "revision") {
        const std::string repoId = join(parts, 2, parts.size() - 2);
        std::unique_lock lock(mutex_);
        if (failCount_ > 0) {
            --failCount_;
            const int status = failStatus_;
            lock.unlock();
            return responder.respond(status, {}, "{}");
        }
        const auto found = repos_.find(repoId);
        if (found == repos_.end()) return lock.unlock(), responder.respond(404, {}, R"({"error":"Repository not found"})");
        std::string body = found->second.listingBody;
        if (body.empty()) {
            nlohmann::json siblings = nlohmann::json::array();
            for (const auto& name : found->second.order) {
                siblings.push_back({{"rfilename", name}, {"size", found->second.files[name].content.size()}});
            }
            body = nlohmann::json{{"id", repoId}, {"sha", commitOf(found->second)}, {"siblings", siblings}}.dump();
        }
        const int pause = trickleCount_ > 0 ? tricklePause_ : 0;
        if (trickleCount_ > 0) --trickleCount_;
        lock.unlock();
        if (pause == 0) return responder.respond(200, {{"Content-Type", "application/json"}}, body);
        responder.writeHead(200, {{"Content-Type", "application/json"}, {"Content-Length", std::to_string(body.size())}});
        responder.trickle(body, pause);
        return;
    }
    // /{owner}/{name}/resolve/{rev}/{file...}
    if (parts.size() >= 5 && parts[2] == "resolve") {
        return serveFile(request, responder, parts[0] + "/" + parts[1], join(parts, 4, parts.size()), false);
    }
    responder.respond(404, {}, "");
}

void FakeHub::serveFile(const HttpRequest& request, HttpResponder& responder, const std::string& repoId,
                        const std::string& rawName, bool onFileHost) {
    const std::string name = percentDecode(rawName);
    const bool get = request.method == "GET";
    FakeFile file;
    bool dropNow = false;
    bool stallNow = false;
    bool trickleNow = false;
    {
        std::unique_lock lock(mutex_);
        if (get && !held_.empty() && held_ == name) {
            waiting_ = true;
            released_.wait_for(lock, std::chrono::seconds(8), [&] { return held_ != name; });
            waiting_ = false;
        }
        const auto repo = repos_.find(repoId);
        if (repo == repos_.end() || !repo->second.files.count(name)) return lock.unlock(), responder.respond(404, {}, "");
        FakeFile& scriptedFile = repo->second.files[name];
        if (get && onFileHost == scriptedFile.redirect) {
            if (scriptedFile.dropAfter >= 0 && scriptedFile.dropTimes > 0) dropNow = scriptedFile.dropTimes-- > 0;
            if (scriptedFile.stallAfter >= 0 && scriptedFile.stallTimes > 0) stallNow = scriptedFile.stallTimes-- > 0;
            if (scriptedFile.trickleMilliseconds > 0 && scriptedFile.trickleTimes > 0) trickleNow = scriptedFile.trickleTimes-- > 0;
        }
        file = scriptedFile;
        if (file.commit.empty()) file.commit = commitOf(repo->second);
        if (get && interrupts_ && interrupts_(name)) {
            file.dropAfter = static_cast<long>(file.content.size() / 2);
            dropNow = true;
        }
    }
    if (!get && file.silentHead) return responder.stall(24 * 60 * 60 * 1000);
    if (!get && file.droppedHead) return responder.drop();
    if (!get && file.loopedHead) return responder.writeHead(302, {{"Location", request.target}, {"Content-Length", "0"}});
    // An error page as long as the file: only the status tells them apart.
    if (file.status != 0) return responder.respond(file.status, {}, get ? file.content : "");

    std::map<std::string, std::string> headers;
    const std::string hostEtag = "\"" + (file.hostEtag.empty() ? "host-" + sha256(file.etag).substr(0, 24) : file.hostEtag) + "\"";
    if (onFileHost) {
        headers["ETag"] = hostEtag;
    } else {
        if (file.sendCommit) headers["X-Repo-Commit"] = file.commit;
        if (!file.etagHeader.empty()) headers[file.etagHeader] = "\"" + file.etag + "\"";
    }
    const std::string size = std::to_string(file.announcedSize >= 0 ? static_cast<size_t>(file.announcedSize) : file.content.size());
    if (!onFileHost && file.redirect) {
        headers.insert({{"Location", otherHost_ + "/cdn/models/" + repoId + "/" + rawName}, {"X-Linked-Size", size}, {"Content-Length", "0"}});
        return responder.writeHead(302, headers);
    }
    if (!get) {
        if (!file.sizeHeader.empty()) headers[file.sizeHeader] = file.sizeText.empty() ? size : file.sizeText;
        if (file.sizeHeader == "X-Linked-Size") headers["Content-Length"] = "0";  // the hub's own redirect body
        return responder.writeHead(200, headers);
    }
    size_t start = 0;
    const std::string range = request.header("range");
    const std::string ifRange = request.header("if-range");
    const bool otherVersionAsked = onFileHost && !file.hostIgnoresIfRange && !ifRange.empty() && ifRange != hostEtag;
    if (!range.empty() && !file.ignoreRange && !otherVersionAsked) {
        start = std::stoul(range.substr(std::string("bytes=").size()));
        if (start >= file.content.size()) return responder.respond(416, {}, "");
        headers["Content-Range"] = "bytes " + std::to_string(start) + "-" + std::to_string(file.content.size() - 1) + "/" + size;
    }
    headers["Content-Length"] = file.announcedSize >= 0 ? size : std::to_string(file.content.size() - start);
    if (file.endless) headers.erase("Content-Length");
    responder.writeHead(headers.count("Content-Range") ? 206 : 200, headers);
    if (file.endless) {
        // No length: the body ends when the connection does, and that is never. Until the
        // client hangs up; the bound only keeps a client that never does from
        // filling the test machine's disk.
        for (size_t sent = 0; sent < (size_t(256) << 20) && !file.content.empty(); sent += file.content.size()) {
            if (!responder.writeBody(file.content)) return;
        }
        return responder.drop();
    }
    if (trickleNow) {
        const size_t fast = std::min(file.content.size() - start, static_cast<size_t>(file.trickleAfter));
        if (responder.writeBody(file.content.substr(start, fast))) responder.trickle(file.content.substr(start + fast), file.trickleMilliseconds);
        return;
    }
    // The body in pieces, cut short by a scripted drop and paused once by a scripted stall.
    const size_t total = file.content.size() - start;
    const size_t end = dropNow ? std::min(total, static_cast<size_t>(file.dropAfter)) : total;
    const size_t stallAt = stallNow ? static_cast<size_t>(file.stallAfter) : total + 1;
    for (size_t sent = 0; sent < end;) {
        const size_t next = std::min({size_t(65536), end - sent, sent < stallAt ? stallAt - sent : end - sent});
        if (!responder.writeBody(file.content.substr(start + sent, next))) return;
        sent += next;
        if (sent == stallAt) responder.stall(file.stallMilliseconds);
    }
    if (dropNow) responder.drop();
}

}  // namespace testsupport

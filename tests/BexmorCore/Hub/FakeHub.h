#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/TestHttpServer.h"

namespace hubtest {

// One file of a scripted repository and how the fake hub misbehaves when serving it.
struct FakeFile {
    std::string content;
    std::string commit = std::string(40, 'c');
    std::string etag;  // defaults to the content's SHA-256
    std::string etagHeader = "X-Linked-Etag";  // or "ETag"; empty sends none
    std::string sizeHeader = "X-Linked-Size";  // or "Content-Length"; empty sends none
    bool sendCommit = true;
    std::string sizeOverride;  // sent instead of the true size when not empty

    int status = 0;              // non-zero: every resolve request gets this status
    bool ignoreRange = false;    // answers ranged GETs with 200 and the whole file
    long dropAfter = -1;         // GET: close the connection after this many body bytes...
    int dropTimes = 0;           // ...on this many requests
    long stallAfter = -1;        // GET: stop sending after this many body bytes...
    int stallMilliseconds = 0;   // ...for this long...
    int stallTimes = 0;          // ...on this many requests
    int chunkDelayMilliseconds = 0;  // pause between 64 KiB pieces of a GET body
    std::string redirect;        // "cross": 302 to the other host; "relative": 307 to /mirror/...
};

// A model hub on loopback: listings at /api/{type}/{id}/revision/{rev} and files at
// [/datasets|/spaces]/{id}/resolve/{rev}/{file} on 127.0.0.1, and a second host
// (127.0.0.2) that serves the same files under /cdn/{id}/{file} as redirect target.
class FakeHub {
public:
    FakeHub();

    std::string endpoint() const { return main_->baseUrl(); }
    std::string otherHost() const { return cdn_->baseUrl(); }

    // Files in listing order (type "models" unless the id is given with a type prefix
    // "datasets:" or "spaces:").
    void addFile(const std::string& repoId, const std::string& name, FakeFile file);
    FakeFile& file(const std::string& repoId, const std::string& name);
    // Replaces the listing body of a repository (hostile or odd listings).
    void setListingBody(const std::string& repoId, std::string body);
    void setListingStatus(int status) { listingStatus_ = status; }

    std::vector<testsupport::HttpRequest> requests() const;
    std::vector<testsupport::HttpRequest> cdnRequests() const { return cdn_->requests(); }
    int count(const std::string& method, const std::string& pathPart) const;
    void clearRequests();

private:
    struct Repo {
        std::vector<std::string> order;
        std::map<std::string, FakeFile> files;
        std::string listingBody;
    };
    void handle(const testsupport::HttpRequest& request, testsupport::HttpResponder& responder, bool onCdn);
    void serveFile(const testsupport::HttpRequest& request, testsupport::HttpResponder& responder, FakeFile& file, bool scripted);
    Repo& repo(const std::string& key);

    mutable std::mutex mutex_;
    std::map<std::string, Repo> repos_;  // key: "{type}/{id}"
    std::atomic<int> listingStatus_{0};
    std::unique_ptr<testsupport::TestHttpServer> main_;
    std::unique_ptr<testsupport::TestHttpServer> cdn_;
};

std::string sha256(const std::string& bytes);
// Deterministic bytes, different for each seed.
std::string makeContent(size_t size, unsigned seed);
std::string percentDecode(const std::string& text);

}  // namespace hubtest

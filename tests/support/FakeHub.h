#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/TestHttpServer.h"

namespace testsupport {

// One file of a repository and how the fake hub misbehaves when serving it.
struct FakeFile {
    std::string content;
    std::string commit = std::string(40, 'c');  // empty: the repository's current commit
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

// A model hub on loopback, speaking the part of the hub's wire format the clients use:
// listings at /api/{type}/{id}/revision/{rev}, files (HEAD with commit, etag and size
// headers; GET, ranged too) at [/datasets|/spaces]/{id}/resolve/{rev}/{file} on 127.0.0.1,
// and a second host (127.0.0.2) that serves the same files under /cdn/{type}/{id}/{file} as
// a redirect target. Repositories are filled file by file or from a folder tree; failures,
// interruptions and pauses are scripted per file or per path.
class FakeHub {
public:
    FakeHub();
    ~FakeHub();
    FakeHub(const FakeHub&) = delete;
    FakeHub& operator=(const FakeHub&) = delete;

    // "http://127.0.0.1:PORT", also after stop().
    std::string endpoint() const { return endpoint_; }
    std::string otherHost() const { return otherHost_; }

    // A scripted file, in listing order (type "models" unless the id is given with a type
    // prefix "datasets:" or "spaces:").
    void addFile(const std::string& repoId, const std::string& name, FakeFile file);
    FakeFile& file(const std::string& repoId, const std::string& name);
    // Plain content: every call is a new commit of the repository, which all its plain
    // files report from then on.
    void setFile(const std::string& repoId, const std::string& name, std::string content);
    // Every regular file below `folder` (read now), as "{prefix}/{relative path}" or, with
    // no prefix, the relative path; in path order.
    void addFolder(const std::string& repoId, const std::filesystem::path& folder, const std::string& prefix = "");

    // Replaces the listing body of a repository (hostile or odd listings).
    void setListingBody(const std::string& repoId, std::string body);
    // Every listing request gets this status (0: normal answers again).
    void setListingStatus(int status);
    // The next `count` listing requests get this status.
    void failListings(int status, int count);

    // While set, a GET of a file whose repository path this answers true for sends half
    // the file and drops the connection, as a network failure would.
    void setInterruption(std::function<bool(const std::string& path)> interrupts);
    // GETs of the file at this repository path wait until release() (at most 8 s, below
    // the client's idle limit).
    void hold(const std::string& path);
    void release();
    // True while a held GET is waiting.
    bool holding() const;

    std::vector<HttpRequest> requests() const;
    std::vector<HttpRequest> cdnRequests() const;
    int count(const std::string& method, const std::string& pathPart = "") const;
    // Listing requests of the repository so far.
    int listings(const std::string& repoId) const;
    // Repository paths of the file GETs of the repository so far, in arrival order.
    std::vector<std::string> fileDownloads(const std::string& repoId) const;
    void clearRequests();
    // Closes both ports: from now on nothing answers there; the requests stay readable.
    void stop();

private:
    struct Repo {
        std::vector<std::string> order;
        std::map<std::string, FakeFile> files;
        std::string listingBody;
        int commits = 0;  // changes by setFile so far
    };
    void handle(const HttpRequest& request, HttpResponder& responder, bool onCdn);
    void serveFile(const HttpRequest& request, HttpResponder& responder, FakeFile& file, const std::string& name,
                   const std::string& repoCommit, bool scripted);
    // A redirect's target: the file as it is, without its scripted failures.
    void serveUnscripted(const HttpRequest& request, HttpResponder& responder, const std::string& key,
                         const std::string& name);
    void waitWhileHeld(const std::string& name);
    void putFile(const std::string& key, const std::string& name, FakeFile file);
    static std::string commitOf(const Repo& repo);

    mutable std::mutex mutex_;
    std::map<std::string, Repo> repos_;  // key: "{type}/{id}"
    int listingStatus_ = 0;
    int failStatus_ = 0;
    int failCount_ = 0;
    std::function<bool(const std::string&)> interrupts_;
    std::condition_variable released_;
    std::string held_;
    bool waiting_ = false;
    std::vector<HttpRequest> finalRequests_;     // kept when the servers stop
    std::vector<HttpRequest> finalCdnRequests_;
    std::string endpoint_;
    std::string otherHost_;
    std::unique_ptr<TestHttpServer> main_;
    std::unique_ptr<TestHttpServer> cdn_;
};

std::string sha256(const std::string& bytes);
// Deterministic bytes, different for each seed.
std::string makeContent(size_t size, unsigned seed);
std::string percentDecode(const std::string& text);
std::string readFile(const std::filesystem::path& path);

}  // namespace testsupport

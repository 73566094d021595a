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

    int status = 0;            // non-zero: every request of the file gets this status
    bool ignoreRange = false;  // answers ranged GETs with 200 and the whole file
    long dropAfter = -1;       // GET: close the connection after this many body bytes...
    int dropTimes = 0;         // ...on this many requests
    long stallAfter = -1;      // GET: stop sending after this many body bytes...
    int stallMilliseconds = 0; // ...for this long...
    int stallTimes = 0;        // ...on this many requests
    std::string sizeText;        // non-empty: HEAD sends this as the size, verbatim
    bool silentHead = false;     // HEAD: no answer at all, until the hub stops
    bool droppedHead = false;    // HEAD: the connection closed without an answer
    bool loopedHead = false;     // HEAD: a redirect to itself, every time
    int64_t announcedSize = -1;  // HEAD and GET name this size instead of the content's...
    bool endless = false;        // ...and GET repeats the content, with no length, until the client goes
    int trickleMilliseconds = 0; // GET: after `trickleAfter` bytes, one byte per this many ms...
    long trickleAfter = 0;
    int trickleTimes = 0;        // ...on this many requests
    bool redirect = false;     // answers with a 302 to the same file on the file host...
    std::string hostEtag;      // ...which names it by its own ETag (default: derived from etag)...
    bool hostIgnoresIfRange = false;  // ...and honours If-Range unless this is set
};

// Not a fake of one of our interfaces (those live in tests/fakes): a real HTTP server that
// the hub client and downloader reach over the network unchanged.
//
// A model hub on loopback, speaking the part of the hub's wire format the clients use:
// listings at /api/models/{id}/revision/{rev}, files (HEAD with commit, etag and size
// headers; GET, ranged too) at /{id}/resolve/{rev}/{file} on 127.0.0.1, and a file host
// (127.0.0.2) that serves the same files under /cdn/models/{id}/{file} as a redirect
// target, the way file hosts behind a hub do: with its own ETag and no hub headers, a
// range honoured only when If-Range names its ETag. Scripted faults happen on the host
// that sends the file's body. Repositories are filled file by file or
// from a folder tree; failures, interruptions and pauses are scripted per file or per path.
class FakeHub {
public:
    FakeHub();
    ~FakeHub();
    FakeHub(const FakeHub&) = delete;
    FakeHub& operator=(const FakeHub&) = delete;

    // "http://127.0.0.1:PORT", also after stop().
    std::string endpoint() const { return endpoint_; }

    // A scripted file, in listing order.
    void addFile(const std::string& repoId, const std::string& name, FakeFile file);
    // Plain content: every call is a new commit of the repository, which all its plain
    // files report from then on.
    void setFile(const std::string& repoId, const std::string& name, std::string content);
    // Every regular file below `folder` (read now), as "{prefix}/{relative path}" or, with
    // no prefix, the relative path; in path order.
    void addFolder(const std::string& repoId, const std::filesystem::path& folder, const std::string& prefix = "");

    // Replaces the listing body of a repository (hostile or odd listings).
    void setListingBody(const std::string& repoId, std::string body);
    // The next `count` listing requests get this status.
    void failListings(int status, int count);
    // The next `count` listings send their body one byte per `pauseMilliseconds`.
    void trickleListings(int pauseMilliseconds, int count);

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
    void serveFile(const HttpRequest& request, HttpResponder& responder, const std::string& repoId, const std::string& name,
                   bool onFileHost);
    void putFile(const std::string& repoId, const std::string& name, FakeFile file);
    static std::string commitOf(const Repo& repo);

    mutable std::mutex mutex_;
    std::map<std::string, Repo> repos_;
    int failStatus_ = 0;
    int failCount_ = 0;
    int tricklePause_ = 0;
    int trickleCount_ = 0;
    std::function<bool(const std::string&)> interrupts_;
    std::condition_variable released_;
    std::string held_;
    bool waiting_ = false;
    std::vector<HttpRequest> finalRequests_;  // kept when the servers stop
    std::vector<HttpRequest> finalCdnRequests_;
    std::string endpoint_;
    std::string otherHost_;
    std::unique_ptr<TestHttpServer> main_;
    std::unique_ptr<TestHttpServer> cdn_;
};

std::string sha256(const std::string& bytes);
// Deterministic bytes, different for each seed.
std::string makeContent(size_t size, unsigned seed);
std::string readFile(const std::filesystem::path& path);

}  // namespace testsupport

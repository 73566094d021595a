#pragma once

#include "support/TestHttpServer.h"

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace transcribertest {

// A model hub on loopback that serves the files below a local folder as one repository at
// revision "main": the listing, each file's metadata (HEAD) and its content (GET, with
// ranges). A file can be held: its GET waits until released, so a test can act while a
// download is under way.
class LoopbackHub {
public:
    LoopbackHub(std::string repoId, std::filesystem::path root);
    ~LoopbackHub();

    // "http://127.0.0.1:PORT"
    std::string endpoint() const { return server_->baseUrl(); }

    // GETs of the file at this repository path wait until release() (at most 8 s, below
    // the client's idle limit).
    void hold(const std::string& path);
    void release();
    // True once a held GET is waiting.
    bool holding() const;

    // Listing requests received so far.
    int listings() const;
    // Repository paths of the file GETs so far, in arrival order.
    std::vector<std::string> fileDownloads() const;

private:
    void handle(const testsupport::HttpRequest& request, testsupport::HttpResponder& responder);

    std::string repoId_;
    std::filesystem::path root_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::string held_;
    bool waiting_ = false;
    std::unique_ptr<testsupport::TestHttpServer> server_;
};

}  // namespace transcribertest

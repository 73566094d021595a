#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "support/TestHttpServer.h"

namespace enginetest {

// A model hub on loopback that serves the files below a local folder as one repository
// at revision "main": the listing, each file's metadata (HEAD) and its content (GET, with
// ranges). Enough of the hub's wire format for the engine's download.
class LoopbackHub {
public:
    LoopbackHub(std::string repoId, std::filesystem::path root);

    std::string endpoint() const { return server_->baseUrl(); }
    // While set, a GET of a file for which this answers true sends half the file and
    // drops the connection, as a network failure would.
    void setInterruption(std::function<bool(const std::string& path)> interrupts);

    // Paths of every GET of a file (listings excluded), in arrival order.
    std::vector<std::string> fileDownloads() const;

private:
    void handle(const testsupport::HttpRequest& request, testsupport::HttpResponder& responder) const;

    std::string repoId_;
    std::filesystem::path root_;
    mutable std::mutex mutex_;
    std::function<bool(const std::string&)> interrupts_;
    std::unique_ptr<testsupport::TestHttpServer> server_;
};

}  // namespace enginetest

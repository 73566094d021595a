#pragma once

#include <filesystem>
#include <memory>
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
    // Paths of every GET of a file (listings excluded), in arrival order.
    std::vector<std::string> fileDownloads() const;

private:
    void handle(const testsupport::HttpRequest& request, testsupport::HttpResponder& responder) const;

    std::string repoId_;
    std::filesystem::path root_;
    std::unique_ptr<testsupport::TestHttpServer> server_;
};

}  // namespace enginetest

#pragma once

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/TestHttpServer.h"

namespace managertest {

// A model hub on loopback serving whole folders: listings at
// /api/models/{owner}/{name}/revision/{rev} and files (HEAD and GET, ranged GETs too) at
// /{owner}/{name}/resolve/{rev}/{file}, each with its commit, SHA-256 etag and size.
class ModelHub {
public:
    ModelHub();

    std::string endpoint() const;
    // Adds every file below `folder` to the repository as "{prefix}/{relative path}".
    void addFolder(const std::string& repoId, const std::string& prefix, const std::filesystem::path& folder);
    void setFile(const std::string& repoId, const std::string& name, std::string content);
    // The next `count` listing requests are answered with this status.
    void failListings(int status, int count);

    int count(const std::string& method, const std::string& pathPart = "") const;
    void clearRequests();
    // Closes the port: from now on nothing answers there.
    void stop();

private:
    void handle(const testsupport::HttpRequest& request, testsupport::HttpResponder& responder);

    mutable std::mutex mutex_;
    std::map<std::string, std::map<std::string, std::string>> repos_;  // id -> name -> content
    std::map<std::string, int> commits_;  // id -> changes so far: every change is a new commit
    int failStatus_ = 0;
    int failCount_ = 0;
    std::string endpoint_;
    std::unique_ptr<testsupport::TestHttpServer> server_;
    std::vector<testsupport::HttpRequest> finalRequests_;  // kept when the server stops
};

std::string readFile(const std::filesystem::path& file);
std::string sha256(const std::string& bytes);

}  // namespace managertest

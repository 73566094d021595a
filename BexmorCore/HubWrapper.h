#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "BexmorCore/External/Hub/HubApi.h"

namespace bexmor {

// The public face of the hub client: build a client, list a repository, make its files
// available locally, and name a repository's local folder. Blocking calls run on the
// caller's (worker) thread; `stop` cancels them.
class HubApiWrapper {
public:
    // The facade's repository reference is the client's own: same fields, JSON
    // ({"id": ..., "type": "models"|"datasets"|"spaces"}), equality and hashing, so the
    // conversion between the two is the identity.
    using RepoType = HubApi::RepoType;
    using Repo = HubApi::Repo;

    // Missing values are resolved from the environment as HubApi does; the client's offline
    // mode is left unset, so every snapshot asks the network monitor.
    explicit HubApiWrapper(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                           std::optional<std::string> hubToken = std::nullopt,
                           std::optional<std::string> endpoint = std::nullopt, bool useBackgroundSession = false);

    // A process-wide facade with every argument left to the environment (a copy).
    static HubApiWrapper shared();

    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision = "main",
                                          const std::vector<std::string>& globs = {}, std::stop_token stop = {}) const;

    // The repository's local folder once the matching files are current (see HubApi::snapshot).
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision = "main",
                                   const std::vector<std::string>& globs = {},
                                   const HubApi::ProgressHandler& progressHandler = {}, std::stop_token stop = {}) const;

    // {downloadBase}/{type}/{repo id}; touches nothing on disk.
    std::filesystem::path localRepoLocation(const Repo& repo) const;

    HubApi impl;
};

}  // namespace bexmor

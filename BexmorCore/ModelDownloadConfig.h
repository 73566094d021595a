#pragma once

#include <optional>
#include <string>

namespace bexmor {

// Where and how the model downloader fetches a repository's models. A plain value; every
// field is given to the constructor, none has a default.
struct ModelDownloadConfig {
    ModelDownloadConfig(std::optional<std::string> downloadBase, std::string modelRepo,
                        std::optional<std::string> modelToken, std::optional<std::string> modelFolder,
                        bool useBackgroundSession, std::string endpoint, std::string revision);

    // Root of the hub cache; absent: the hub client's default root.
    std::optional<std::string> downloadBase;
    // Repository id, "owner/name".
    std::string modelRepo;
    // Access token; absent: the hub client reads it from the environment.
    std::optional<std::string> modelToken;
    // A folder that may already hold the models (searched before the cache).
    std::optional<std::string> modelFolder;
    bool useBackgroundSession;
    std::string endpoint;
    // Branch, tag or commit of every listing and snapshot.
    std::string revision;
};

}  // namespace bexmor

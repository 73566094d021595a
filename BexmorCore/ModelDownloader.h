#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "BexmorCore/External/Hub/HubApi.h"
#include "BexmorCore/ModelDownloadConfig.h"
#include "BexmorCore/ModelDownloaderError.h"
#include "BexmorCore/ModelInfo.h"
#include "BexmorCore/ModelState.h"

namespace bexmor {

// Turns a request for a model of a hub repository into a local folder or file: first a
// folder the caller names, then the local hub cache validated without the network, and
// only then, when allowed, a download of the matching files.
//
// Keeps nothing but its configuration: every operation that talks to the hub builds its
// own HubApi for that one call, so one downloader may be shared between threads. The
// operations block the calling thread (run them on a worker); `stop` cancels a download.
// Errors: ModelDownloaderError (modelUnavailable) for a model that is not there, and the
// hub client's errors (HubClientError, EnvironmentError, UrlError, ...) unchanged.
class ModelDownloader {
public:
    using ModelStateCallback = std::function<void(ModelState)>;
    using ProgressCallback = std::function<void(const Progress&)>;

    explicit ModelDownloader(ModelDownloadConfig config);
    // No download base and no model folder.
    ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                    std::string revision, bool useBackgroundSession);
    virtual ~ModelDownloader() = default;

    // The repository folder holding the model's files (downloadPattern). With
    // `useOfflineMode` true nothing goes to the network: the files are looked for in the
    // local repository folder and the cache is validated; otherwise they are downloaded
    // (absent lets the network state decide).
    virtual std::filesystem::path downloadModel(const ModelInfo& modelInfo,
                                                const std::optional<std::filesystem::path>& downloadBase,
                                                std::optional<bool> useOfflineMode, std::stop_token stop = {}) const;

    // {hub cache root}/models/{repository id}. No disk access.
    virtual std::filesystem::path localRepoLocation(const std::optional<std::filesystem::path>& downloadBase) const;

    // The compiled (or packaged) model file `name` of the model: from the model folder,
    // else the validated cache (callback: downloaded), else, when `download` is true, a
    // download (callback: downloading, then downloaded).
    virtual std::filesystem::path resolveModel(const std::string& name, const ModelInfo& info,
                                               const std::optional<std::filesystem::path>& modelFolder,
                                               const std::optional<std::filesystem::path>& downloadBase, bool download,
                                               const ModelStateCallback& modelStateCallback = {},
                                               std::stop_token stop = {}) const;
    // resolveModel's result as a path text.
    virtual std::string resolveModelPath(const std::string& name, const ModelInfo& info,
                                         const std::optional<std::filesystem::path>& modelFolder,
                                         const std::optional<std::filesystem::path>& downloadBase, bool download,
                                         const ModelStateCallback& modelStateCallback = {},
                                         std::stop_token stop = {}) const;

    // The local repository folder with every file matching the patterns: the validated
    // cache when each pattern's literal folder exists and is not empty, else a download.
    virtual std::filesystem::path resolveRepo(const std::vector<std::string>& patterns,
                                              const std::optional<std::filesystem::path>& downloadBase, bool download,
                                              const ProgressCallback& progressCallback = {},
                                              std::stop_token stop = {}) const;

    // The repository's file names on the hub that match any of the globs.
    virtual std::vector<std::string> fetchFilenames(const std::vector<std::string>& globs,
                                                    const std::optional<std::filesystem::path>& downloadBase,
                                                    std::stop_token stop = {}) const;

    // Where the model `name` lies in `folder` (compiled form preferred), if anything is there.
    virtual std::optional<std::filesystem::path> modelURLIfExists(const std::filesystem::path& folder,
                                                                  const std::string& name) const;

    // True when the pattern's leading pieces before the first one with a "*" name a folder
    // below `repoLocation` that exists and has at least one entry ("m/*/v/*": folder m).
    static bool patternsExistLocally(const std::string& pattern, const std::filesystem::path& repoLocation);

private:
    std::optional<std::filesystem::path> effectiveDownloadBase(const std::optional<std::filesystem::path>& downloadBase) const;
    HubApi makeHub(const std::optional<std::filesystem::path>& downloadBase, std::optional<bool> useOfflineMode) const;
    HubApi::Repo repo() const;

    ModelDownloadConfig config_;
};

}  // namespace bexmor

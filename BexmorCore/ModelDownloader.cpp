#include "BexmorCore/ModelDownloader.h"

#include <utility>

#include "BexmorCore/Extensions.h"
#include "BexmorCore/Logging.h"
#include "BexmorCore/ModelUtilities.h"

namespace bexmor {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPrefix = "[ModelDownloader] ";

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

ModelDownloader::ModelDownloader(ModelDownloadConfig config) : config_(std::move(config)) {}

ModelDownloader::ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                                 std::string revision, bool useBackgroundSession)
    : ModelDownloader(ModelDownloadConfig(std::nullopt, std::move(repoName), std::move(modelToken), std::nullopt,
                                          useBackgroundSession, std::move(endpoint), std::move(revision))) {}

std::optional<fs::path> ModelDownloader::effectiveDownloadBase(const std::optional<fs::path>& downloadBase) const {
    if (downloadBase) return downloadBase;
    if (config_.downloadBase) return fs::path(*config_.downloadBase);
    return std::nullopt;
}

HubApi ModelDownloader::makeHub(const std::optional<fs::path>& downloadBase, std::optional<bool> useOfflineMode) const {
    return HubApi(downloadBase, config_.modelToken, config_.endpoint, config_.useBackgroundSession, useOfflineMode);
}

HubApi::Repo ModelDownloader::repo() const { return HubApi::Repo{config_.modelRepo, HubApi::RepoType::models}; }

fs::path ModelDownloader::downloadModel(const ModelInfo& modelInfo, const std::optional<fs::path>& downloadBase,
                                        std::optional<bool> useOfflineMode, std::stop_token stop) const {
    const std::string pattern = modelInfo.downloadPattern();
    const HubApi hub = makeHub(effectiveDownloadBase(downloadBase), useOfflineMode);
    const HubApi::Repo repository = repo();
    const bool offline = useOfflineMode.value_or(false);
    if (offline) {
        Logging::debug(std::string(kPrefix) + "Searching for models matching " + quoted(pattern) + " in Repo(id: " +
                       repository.id + ", type: " + to_string(repository.type) + ")");
        // Offline means no network: look for the model's files in the local repository
        // folder, never on the hub (which could not answer, and a valid cache would then
        // count as missing).
        const fs::path location = hub.repoDestination(repository);
        std::vector<std::string> names;
        for (const auto& file : HubApi::getFileUrls(location)) {
            names.push_back(file.lexically_relative(location).generic_string());
        }
        if (matching(names, pattern).empty()) {
            throw ModelDownloaderError::modelUnavailable("No models found matching " + quoted(pattern) + " in " +
                                                         repository.id);
        }
    }
    Logging::debug(std::string(kPrefix) + "Downloading model " + pattern +
                   " with offline mode: " + (offline ? "true" : "false"));
    return hub.snapshot(repository, config_.revision, {pattern}, [](const Progress&) {}, stop);
}

fs::path ModelDownloader::localRepoLocation(const std::optional<fs::path>& downloadBase) const {
    const HubApi hub = makeHub(effectiveDownloadBase(downloadBase), std::nullopt);
    return hub.downloadBase / "models" / config_.modelRepo;
}

std::optional<fs::path> ModelDownloader::modelURLIfExists(const fs::path& folder, const std::string& name) const {
    const fs::path candidate = ModelUtilities::detectModelURL(folder, name);
    std::error_code error;
    if (fs::exists(candidate, error)) return candidate;
    return std::nullopt;
}

fs::path ModelDownloader::resolveModel(const std::string& name, const ModelInfo& info,
                                       const std::optional<fs::path>& modelFolder,
                                       const std::optional<fs::path>& downloadBase, bool download,
                                       const ModelStateCallback& modelStateCallback, std::stop_token stop) const {
    auto report = [&](ModelState state) {
        if (modelStateCallback) modelStateCallback(state);
    };

    std::optional<fs::path> folder = modelFolder;
    if (!folder && config_.modelFolder) folder = fs::path(*config_.modelFolder);
    if (folder) {
        if (auto url = modelURLIfExists(info.modelURL(*folder), name)) {
            Logging::debug(std::string(kPrefix) + "Found " + name + " in model folder");
            return *url;
        }
    }

    const auto base = effectiveDownloadBase(downloadBase);
    std::optional<fs::path> cached;
    try {
        cached = downloadModel(info, base, true, stop);
    } catch (const std::exception&) {
        // Nothing usable in the cache; fall through to the download.
    }
    if (cached) {
        if (auto url = modelURLIfExists(info.modelURL(*cached), name)) {
            Logging::debug(std::string(kPrefix) + "Found existing " + name + " in cache");
            report(ModelState::downloaded);
            return *url;
        }
    }

    if (!download) throw ModelDownloaderError::modelUnavailable("No model found for " + name + " (download disabled)");

    report(ModelState::downloading);
    const fs::path snapshot = downloadModel(info, base, std::nullopt, stop);
    if (auto url = modelURLIfExists(info.modelURL(snapshot), name)) {
        Logging::debug(std::string(kPrefix) + "Downloaded " + name);
        report(ModelState::downloaded);
        return *url;
    }
    throw ModelDownloaderError::modelUnavailable("No model found for " + name);
}

std::string ModelDownloader::resolveModelPath(const std::string& name, const ModelInfo& info,
                                              const std::optional<fs::path>& modelFolder,
                                              const std::optional<fs::path>& downloadBase, bool download,
                                              const ModelStateCallback& modelStateCallback, std::stop_token stop) const {
    return resolveModel(name, info, modelFolder, downloadBase, download, modelStateCallback, stop).string();
}

bool ModelDownloader::patternsExistLocally(const std::string& pattern, const fs::path& repoLocation) {
    fs::path folder = repoLocation;
    bool kept = false;
    size_t start = 0;
    while (start <= pattern.size()) {
        size_t end = pattern.find('/', start);
        if (end == std::string::npos) end = pattern.size();
        const std::string piece = pattern.substr(start, end - start);
        start = end + 1;
        if (piece.empty()) continue;
        if (piece.find('*') != std::string::npos) break;
        folder /= piece;
        kept = true;
    }
    if (!kept) return false;
    std::error_code error;
    if (!fs::exists(folder, error)) return false;
    fs::directory_iterator entries(folder, error);
    if (error) return false;
    return entries != fs::directory_iterator();
}

fs::path ModelDownloader::resolveRepo(const std::vector<std::string>& patterns,
                                      const std::optional<fs::path>& downloadBase, bool download,
                                      const ProgressCallback& progressCallback, std::stop_token stop) const {
    const auto base = effectiveDownloadBase(downloadBase);
    const fs::path location = localRepoLocation(base);
    const HubApi::Repo repository = repo();

    bool allLocal = true;
    for (const auto& pattern : patterns) {
        if (!patternsExistLocally(pattern, location)) {
            allLocal = false;
            break;
        }
    }
    if (allLocal) {
        try {
            const fs::path folder = makeHub(base, true).snapshot(repository, config_.revision, patterns,
                                                                 [](const Progress&) {}, stop);
            Logging::debug(std::string(kPrefix) + "Found valid local cache at " + folder.string());
            return folder;
        } catch (const std::exception& error) {
            Logging::debug(std::string(kPrefix) + "Local cache for '" + repository.id + "' didn't validate (" +
                           error.what() + "); re-resolving.");
        }
    }

    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No valid local models found for repo '" + repository.id +
                                                     "' and download is disabled.");
    }

    const HubApi hub = makeHub(base, std::nullopt);
    Logging::info(std::string(kPrefix) + "Downloading " + std::to_string(patterns.size()) + " model(s) from " +
                  repository.id + "...");
    const fs::path folder = hub.snapshot(
        repository, config_.revision, patterns,
        [&](const Progress& progress) {
            if (progressCallback) progressCallback(progress);
        },
        stop);
    Logging::info(std::string(kPrefix) + "Download complete: " + folder.string());
    return folder;
}

std::vector<std::string> ModelDownloader::fetchFilenames(const std::vector<std::string>& globs,
                                                         const std::optional<fs::path>& downloadBase,
                                                         std::stop_token stop) const {
    return makeHub(effectiveDownloadBase(downloadBase), std::nullopt).getFilenames(repo(), config_.revision, globs, stop);
}

}  // namespace bexmor

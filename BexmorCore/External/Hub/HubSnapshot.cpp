// The repository snapshot: online through the per-file download, offline by validating the cache.
#include "BexmorCore/Extensions.h"
#include "BexmorCore/External/Hub/HubApi.h"
#include "BexmorCore/External/Hub/FreeSpace.h"
#include "BexmorCore/External/Hub/HubFileDownloader.h"
#include "BexmorCore/External/Hub/HubPaths.h"
#include "BexmorCore/External/Hub/NetworkMonitor.h"

#include <cstdint>

namespace bexmor {

namespace fs = std::filesystem;

namespace {

std::string resolvedPath(const fs::path& path) {
    std::error_code error;
    const fs::path resolved = fs::weakly_canonical(path, error);
    return (error ? path : resolved).string();
}

}  // namespace

fs::path HubApi::snapshot(const Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                          const ProgressHandler& progressHandler, std::stop_token stop) const {
    if (!hubpaths::isSafeRepoId(repo.id)) throw HubClientError::parseError("Invalid repository id: " + repo.id);
    const fs::path destination = repoDestination(repo);
    const fs::path metadataDestination = metadataFolder(destination);

    const bool monitorSaysOffline = NetworkMonitor::shared().shouldUseOfflineMode();
    const bool offline = useOfflineMode.value_or(monitorSaysOffline);
    if (offline) return snapshotOffline(repo, globs);

    const auto names = getFilenames(repo, revision, globs, stop);
    Progress overall(static_cast<int64_t>(names.size()));
    auto report = [&] {
        if (progressHandler) progressHandler(overall);
    };
    if (names.empty()) {
        report();
        return destination;
    }

    // What every file still needs is known before the first byte is written: a repository
    // larger than the free space is refused whole instead of filling the disk part-way.
    std::vector<HubFileDownloader> files;
    // A file whose HEAD request the hub answers with a refusal here is asked again when its
    // turn comes, so its error ends the snapshot there, after the files before it, as it
    // always did. A request that got no answer at all (timed out, no connection, cut off)
    // ends the snapshot at once: the hub is unreachable for every file, and asking again
    // would only add a time-out per file.
    std::vector<std::optional<FileMetadata>> remotes;
    uint64_t needed = 0;
    for (const auto& name : names) {
        files.push_back({*this, repo, revision, destination, metadataDestination, name, hubToken, endpoint, useBackgroundSession});
        try {
            remotes.push_back(getFileMetadata(files.back().source(), stop));
        } catch (const UrlError& error) {
            // Too many redirects is the answer of a hub that reached us, about this file.
            if (error.code() != UrlError::Code::tooManyRedirects) throw;
            remotes.push_back(std::nullopt);
            continue;
        } catch (const std::exception&) {
            remotes.push_back(std::nullopt);
            continue;
        }
        needed = addedBytes(needed, files.back().bytesToFetch(*remotes.back()));
    }
    requireSpace(freeSpace, destination, needed);

    for (size_t i = 0; i < files.size(); ++i) {
        auto fileProgress = overall.addChild(100, 1);
        const auto onProgress = [&](double fraction, std::optional<double> speed) {
            if (const auto units = Progress::completedUnits(fraction, 100)) fileProgress->setCompletedUnitCount(*units);
            if (speed) {
                fileProgress->setThroughput(*speed);
                overall.setThroughput(*speed);
            }
            report();
        };
        remotes[i] ? files[i].download(*remotes[i], onProgress, stop) : files[i].download(onProgress, stop);
        if (stop.stop_requested()) throw CancellationError();
        fileProgress->setCompletedUnitCount(100);
    }
    report();
    return destination;
}

fs::path HubApi::snapshotOffline(const Repo& repo, const std::vector<std::string>& globs) const {
    const fs::path destination = repoDestination(repo);
    const fs::path metadataDestination = metadataFolder(destination);
    std::error_code error;
    if (!fs::exists(destination, error)) throw EnvironmentError::offlineModeError("Repository not available locally");

    std::string repoPath = resolvedPath(destination);
    if (!repoPath.ends_with('/')) repoPath += '/';

    auto files = getFileUrls(destination);
    if (files.empty()) throw EnvironmentError::offlineModeError("No files available locally for this repository");

    auto relativeInside = [&](const fs::path& file) -> std::optional<std::string> {
        const std::string path = resolvedPath(file);
        if (!path.starts_with(repoPath)) return std::nullopt;
        return path.substr(repoPath.size());
    };

    if (!globs.empty()) {
        std::erase_if(files, [&](const fs::path& file) {
            const auto relative = relativeInside(file);
            if (!relative) return true;
            for (const auto& glob : globs) {
                if (!matching({*relative}, glob).empty()) return false;
            }
            return true;
        });
        if (files.empty()) throw EnvironmentError::offlineModeError("No files matching the requested patterns are available locally");
    }

    for (const auto& file : files) {
        const std::string name = file.filename().string();
        const auto relative = relativeInside(file);
        if (!relative) throw EnvironmentError::offlineModeError("Metadata not available for " + name);
        const auto metadata = readDownloadMetadata(metadataDestination / (*relative + ".metadata"));
        if (!metadata) throw EnvironmentError::offlineModeError("Metadata not available for " + name);
        if (hubpaths::isLowerHex(metadata->etag, 64) && computeFileHash(file) != metadata->etag) {
            throw EnvironmentError::fileIntegrityError("Hash mismatch for " + name);
        }
    }
    return destination;
}

}  // namespace bexmor

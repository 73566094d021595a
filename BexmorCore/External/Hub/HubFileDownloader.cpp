#include "BexmorCore/External/Hub/HubFileDownloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "BexmorCore/External/Hub/Downloader.h"
#include "BexmorCore/External/Hub/FreeSpace.h"
#include "BexmorCore/External/Hub/HubPaths.h"

namespace bexmor {

namespace fs = std::filesystem;

namespace {

void requireSafeName(const std::string& relativeFilename) {
    if (!hubpaths::isSafeRelativePath(relativeFilename)) {
        throw HubClientError::parseError("Unsafe file name in repository listing: " + relativeFilename);
    }
}

// Partial files of earlier etags of the same file, "{name}.{etag}.incomplete" in its folder,
// with their validator records ("….incomplete.validator").
void removeStalePartials(const fs::path& metadataFolder, const std::string& relativeFilename) {
    const fs::path folder = (metadataFolder / relativeFilename).parent_path();
    const std::string prefix = fs::path(relativeFilename).filename().string() + ".";
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string fileName = it->path().filename().string();
        std::string_view name = fileName;
        if (name.ends_with(".validator")) name.remove_suffix(std::string_view(".validator").size());
        constexpr std::string_view suffix = ".incomplete";
        if (name.size() <= prefix.size() + suffix.size()) continue;
        if (!name.starts_with(prefix) || !name.ends_with(suffix)) continue;
        // Only a single etag component, never another file's partial whose name merely
        // starts alike ("a.bin" vs "a.bin.x.y.incomplete").
        const std::string_view etag = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (!hubpaths::isSafeEtag(etag) || etag.find('.') != std::string_view::npos) continue;
        std::error_code removeError;
        if (it->is_regular_file(removeError)) fs::remove(it->path(), removeError);
    }
}

// What a download still has to write for a file announced at `announced` bytes: what its
// partial file lacks (the bytes in it are on the disk already), then the file's records.
uint64_t stillToWrite(int64_t announced, const fs::path& partial) {
    const auto size = static_cast<uint64_t>(std::max<int64_t>(announced, 0));
    const auto have = static_cast<uint64_t>(std::max<int64_t>(Downloader::incompleteFileSize(partial), 0));
    const uint64_t rest = have <= size ? size - have : size;
    return addedBytes(rest, kRecordRoom);
}

}  // namespace

std::string HubApi::HubFileDownloader::source() const {
    std::vector<std::pair<std::string, bool>> pieces;
    if (repo.type == RepoType::datasets) pieces.push_back({"datasets", true});
    if (repo.type == RepoType::spaces) pieces.push_back({"spaces", true});
    pieces.push_back({repo.id, true});
    pieces.push_back({"resolve", true});
    pieces.push_back({revision, false});
    pieces.push_back({relativeFilename, true});
    return buildUrl(endpoint.value_or(std::string(kDefaultEndpoint)), pieces);
}

fs::path HubApi::HubFileDownloader::destination() const { return repoDestination / relativeFilename; }

fs::path HubApi::HubFileDownloader::metadataPath() const { return repoMetadataDestination / (relativeFilename + ".metadata"); }

fs::path HubApi::HubFileDownloader::incompletePath(const std::string& etag) const {
    return repoMetadataDestination / (relativeFilename + "." + etag + ".incomplete");
}

void HubApi::HubFileDownloader::prepareCacheDestination(const fs::path& file) {
    if (file.has_parent_path()) fs::create_directories(file.parent_path());
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) throw fs::filesystem_error("cannot create the partial file", file, std::error_code(errno, std::generic_category()));
    ::close(fd);
}

fs::path HubApi::HubFileDownloader::download(const ProgressHandler& progressHandler, std::stop_token stop) const {
    // The name comes from the hub: check it before it becomes any path.
    requireSafeName(relativeFilename);
    return download(hub.getFileMetadata(source(), stop), progressHandler, stop);
}

uint64_t HubApi::HubFileDownloader::bytesToFetch(const FileMetadata& remote) const {
    requireSafeName(relativeFilename);
    // Without a size the download fails before it writes anything.
    if (!remote.size || *remote.size < 0) return 0;
    const auto local = hub.readDownloadMetadata(metadataPath());
    std::error_code existsError;
    if (local && fs::exists(destination(), existsError)) {
        const std::string remoteCommit = remote.commitHash.value_or("");
        if (hubpaths::isLowerHex(remoteCommit, 40) && local->commitHash == remoteCommit) return 0;
        if (remote.etag && local->etag == *remote.etag) return 0;
    }
    if (!remote.etag || !hubpaths::isSafeEtag(*remote.etag)) return static_cast<uint64_t>(*remote.size);
    return stillToWrite(*remote.size, incompletePath(*remote.etag));
}

fs::path HubApi::HubFileDownloader::download(const FileMetadata& remote, const ProgressHandler& progressHandler,
                                             std::stop_token stop) const {
    requireSafeName(relativeFilename);
    try {
        return transfer(remote, progressHandler, stop);
    } catch (const std::system_error& error) {
        // The file system's own word for it, from whichever path of this file (the file,
        // its record or its partial file, which is the longest) it met first.
        if (StorageError::isNameTooLong(error.code())) throw StorageError::nameTooLong(relativeFilename);
        throw;
    }
}

fs::path HubApi::HubFileDownloader::transfer(const FileMetadata& remote, const ProgressHandler& progressHandler,
                                             std::stop_token stop) const {
    const fs::path destinationPath = destination();
    const fs::path recordPath = metadataPath();

    const auto local = hub.readDownloadMetadata(recordPath);
    const std::string remoteCommit = remote.commitHash.value_or("");
    const std::string localCommit = local ? local->commitHash : "";

    std::error_code existsError;
    // Followed through links: a dangling link is no cached file.
    const bool destinationExists = fs::exists(destinationPath, existsError);
    if (hubpaths::isLowerHex(remoteCommit, 40) && destinationExists && local && localCommit == remoteCommit) return destinationPath;

    if (remote.invalidSize) throw InvalidSizeError(relativeFilename, *remote.invalidSize);
    if (!remote.commitHash || !remote.etag || !remote.size || remote.location.empty()) {
        throw EnvironmentError::invalidMetadataError("File metadata must have been retrieved from server");
    }
    const std::string& etag = *remote.etag;
    const bool etagIsSha256 = hubpaths::isLowerHex(etag, 64);

    if (destinationExists) {
        if (local && local->etag == etag) {
            hub.writeDownloadMetadata(*remote.commitHash, etag, recordPath);
            return destinationPath;
        }
        if (etagIsSha256 && hub.computeFileHash(destinationPath) == etag) {
            hub.writeDownloadMetadata(*remote.commitHash, etag, recordPath);
            return destinationPath;
        }
    }

    // Here the etag becomes part of a file name: it must not leave the metadata folder.
    if (!hubpaths::isSafeEtag(etag)) throw EnvironmentError::invalidMetadataError("Unsafe etag for " + relativeFilename + ": " + etag);
    const fs::path partial = incompletePath(etag);
    // What is still to come must fit before anything is made.
    requireSpace(hub.freeSpace, partial.parent_path(), stillToWrite(*remote.size, partial));
    prepareCacheDestination(partial);
    Downloader downloader(destinationPath, partial, backgroundSession, Downloader::kFlushSize);
    downloader.setExpectedSize(remote.size);
    // A SHA-256 etag names the content: a bad transfer must not be recorded as current.
    if (etagIsSha256) downloader.setExpectedSha256(etag);
    downloader.setExpectedEtag(etag);
    downloader.setRetryDelay(retryDelay);
    downloader.setMinimumPace(hub.minimumPace);

    {
        // Subscribed before the transfer starts, so every state of it reaches the handler.
        auto states = downloader.broadcaster().subscribe();
        const int64_t resumeSize = Downloader::incompleteFileSize(partial);
        downloader.setUpDownload(source(), hubToken, resumeSize, std::nullopt, 10, 5);
        std::stop_callback onStop(stop, [&downloader] { downloader.cancel(); });
        while (true) {
            const auto state = states->next();
            if (!state) break;
            if (state->kind == Downloader::DownloadState::Kind::downloading) {
                if (progressHandler) progressHandler(state->progress, state->speed);
            } else if (state->kind == Downloader::DownloadState::Kind::completed) {
                break;
            } else if (state->kind == Downloader::DownloadState::Kind::failed) {
                std::rethrow_exception(state->error);
            }
        }
    }

    try {
        hub.writeDownloadMetadata(*remote.commitHash, etag, recordPath);
    } catch (const EnvironmentError& error) {
        if (!StorageError::isOutOfSpace(error.code())) throw;
        // A file that cannot get its record is in the way of everything else on a full
        // disk; the next run fetches it again.
        std::error_code removeError;
        fs::remove(destinationPath, removeError);
        throw StorageError::diskFull(destinationPath, static_cast<uint64_t>(*remote.size));
    }
    removeStalePartials(repoMetadataDestination, relativeFilename);
    return destinationPath;
}

}  // namespace bexmor

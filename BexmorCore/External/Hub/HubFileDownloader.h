#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "BexmorCore/External/Hub/HubApi.h"

namespace bexmor {

// Brings one file of a repository into the cache. One HEAD request tells whether the cached
// copy is current (by commit, by etag, or by content when the etag is a SHA-256); otherwise
// a resumable Downloader fetches it into "{file}.{etag}.incomplete" beside the records,
// and a metadata record is written once the file is in place.
class HubApi::HubFileDownloader {
public:
    // (fraction of the file transferred, bytes per second when known)
    using ProgressHandler = std::function<void(double, std::optional<double>)>;

    HubApi hub;
    Repo repo;
    std::string revision;
    std::filesystem::path repoDestination;
    std::filesystem::path repoMetadataDestination;
    std::string relativeFilename;
    std::optional<std::string> hubToken;
    std::optional<std::string> endpoint;
    bool backgroundSession = false;

    // The file's hub URL: {endpoint}[/datasets|/spaces]/{repo id}/resolve/{revision}/{file},
    // the revision as one segment ("/" sent as %2F).
    std::string source() const;
    std::filesystem::path destination() const;
    std::filesystem::path metadataPath() const;
    std::filesystem::path incompletePath(const std::string& etag) const;

    // Makes sure the file and its folder exist; an existing file is left as it is, so its
    // bytes count as already transferred.
    static void prepareCacheDestination(const std::filesystem::path& file);

    // Returns the destination once the file is current. Stopping `stop` cancels a running
    // transfer (UrlError cancelled); the partial file keeps what was flushed. A size
    // header that names no size ends it with InvalidSizeError. Before a transfer starts,
    // what it still has to write and a reserve must fit the free space; a disk that fills
    // up all the same (the partial file, or the record after it, which then takes the file
    // with it), or a name the file system cannot hold, ends it with StorageError.
    std::filesystem::path download(const ProgressHandler& progressHandler = {}, std::stop_token stop = {}) const;
    // The same with the hub's answer to this file's HEAD request already at hand.
    std::filesystem::path download(const FileMetadata& remote, const ProgressHandler& progressHandler = {},
                                   std::stop_token stop = {}) const;

    // The bytes a download with this HEAD answer would still write: none when the cached
    // copy is current by commit or record, else the announced size less the partial file
    // of this version, and its records (kRecordRoom). A copy that only its content could
    // prove current counts whole.
    uint64_t bytesToFetch(const FileMetadata& remote) const;

    // The pause before a retry of a broken transfer (one second unless a test shortens it).
    std::chrono::milliseconds retryDelay{1000};

private:
    std::filesystem::path transfer(const FileMetadata& remote, const ProgressHandler& progressHandler, std::stop_token stop) const;
};

}  // namespace bexmor

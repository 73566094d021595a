#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "BexmorCore/External/Hub/Config.h"
#include "BexmorCore/External/Hub/FreeSpace.h"
#include "BexmorCore/External/Hub/HubErrors.h"
#include "BexmorCore/External/Hub/Progress.h"
#include "BexmorCore/ModelsEndpoint.h"
#include "Platform/Net/HttpClient.h"

namespace bexmor {

// Client of a model hub: listing a repository, file metadata from one HEAD request,
// downloads into a local cache with a metadata record per file, and offline validation of
// that cache. A plain value: copies are independent and every operation is safe to run from
// several threads at once. Operations that talk to the network block the calling thread
// (call them from a worker) and stop early when their `stop` token is requested.
//
// Cache layout below `downloadBase`:
//   {type}/{owner}/{name}/{file}                                    the repository's files
//   {type}/{owner}/{name}/.cache/modelhub/download/{file}.metadata          records
//   {type}/{owner}/{name}/.cache/modelhub/download/{file}.{etag}.incomplete partial files
class HubApi {
public:
    enum class RepoType { models, datasets, spaces };

    struct Repo {
        std::string id;  // owner and name joined by "/"
        RepoType type = RepoType::models;
        bool operator==(const Repo&) const = default;
    };

    struct Sibling {
        std::string rfilename;
    };
    struct SiblingsResponse {
        std::vector<Sibling> siblings;
    };

    // What the hub says about one file.
    struct FileMetadata {
        std::optional<std::string> commitHash;
        std::optional<std::string> etag;  // normalised
        std::string location;
        std::optional<int64_t> size;
        // The size header's text when it was sent but names no size (negative, not a
        // number, beyond 64 bits); `size` is then absent.
        std::optional<std::string> invalidSize;
    };

    // The ".metadata" record kept beside a cached file.
    struct LocalDownloadFileMetadata {
        std::string commitHash;
        std::string etag;
        std::string filename;
        double timestamp = 0;  // seconds since 1970-01-01 00:00 UTC
    };

    class HubFileDownloader;

    using ProgressHandler = std::function<void(const Progress&)>;

    // The product's model address, used when neither the caller nor "HUB_ENDPOINT" names one.
    static constexpr std::string_view kDefaultEndpoint = kModelsEndpoint;
    // No model has more files than this; a longer listing is refused while it is read.
    static constexpr size_t kMaxListedFiles = 10000;

    // Missing values come from the environment: token from "HUB_TOKEN", then
    // "MODEL_HUB_TOKEN" (non-empty ones only; an empty argument counts as given),
    // endpoint from "HUB_ENDPOINT" (even empty), download base "~/Documents/modelhub".
    explicit HubApi(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                    std::optional<std::string> hubToken = std::nullopt, std::optional<std::string> endpoint = std::nullopt,
                    bool useBackgroundSession = false, std::optional<bool> useOfflineMode = std::nullopt);

    std::filesystem::path downloadBase;
    std::optional<std::string> hubToken;
    std::string endpoint;
    bool useBackgroundSession = false;
    std::optional<bool> useOfflineMode;  // absent: the network monitor decides per snapshot
    // Free space of the cache's file system: asked before a snapshot and before each file.
    FreeSpaceQuery freeSpace = availableSpace;
    // Puts a record's text at its path in one step: written aside in the same folder,
    // synced, renamed over it. A test puts its own in place to play a disk that fills up
    // just as a record is written.
    using FileWriter = std::function<void(const std::filesystem::path&, const std::string&)>;
    static void writeFileAtomically(const std::filesystem::path& path, const std::string& text);
    FileWriter writeRecord = writeFileAtomically;
    // Every request, listing, HEAD and transfer, counts as timed out below this pace.
    platform::MinimumPace minimumPace;
    std::string sha256Pattern = "^[0-9a-f]{64}$";
    std::string commitHashPattern = "^[0-9a-f]{40}$";

    // GET with the token; 2xx returns, 401/403 authorizationRequired, 404 fileNotFound(last
    // path segment), other statuses httpStatusCode; any other failure becomes downloadError.
    platform::HttpResponse httpGet(const std::string& url, std::stop_token stop = {}) const;
    // HEAD with the token and "Accept-Encoding: identity"; 200-399 returns (a redirect to
    // another host reaches the caller), 4xx as for GET; transport errors stay UrlError.
    platform::HttpResponse httpHead(const std::string& url, std::stop_token stop = {}) const;

    // The repository's file names, in the server's order with duplicates when no glob is
    // given, else every name matching some glob once. A name that would leave the
    // repository folder fails the call with parseError before anything is fetched, a
    // listing of more than kMaxListedFiles entries with ListingTooLargeError.
    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision = "main",
                                          const std::vector<std::string>& globs = {}, std::stop_token stop = {}) const;

    // Reads a downloaded JSON configuration file. Malformed JSON fails with
    // jsonSerialization, a top level other than an object with parse; a missing or
    // unreadable file with the file system's error.
    Config configuration(const std::filesystem::path& fileURL) const;

    // The regular, non-hidden files below a folder (hidden folders are not entered).
    static std::vector<std::filesystem::path> getFileUrls(const std::filesystem::path& folder);

    FileMetadata getFileMetadata(const std::string& url, std::stop_token stop = {}) const;
    // What a HEAD answer to `url` says of the file (the headers are the hub's to choose).
    static FileMetadata fileMetadata(const platform::HttpResponse& response, const std::string& url);
    static std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag);

    std::optional<LocalDownloadFileMetadata> readDownloadMetadata(const std::filesystem::path& metadataPath) const;
    // Fails with fileWriteError; one from the file system keeps its error code (code()).
    void writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                               const std::filesystem::path& metadataPath) const;
    std::string computeFileHash(const std::filesystem::path& file) const;

    // Makes the repository's matching files current in the cache and returns its folder.
    // Online: one listing, one HEAD per file to learn what is still to fetch (the total,
    // with each file's records and a reserve, must fit the free space: StorageError
    // otherwise, before any transfer; a HEAD without an answer ends it there), then each
    // file through HubFileDownloader, reporting overall progress (each file one unit).
    // Offline: validates the cache without any request.
    std::filesystem::path snapshot(const Repo& repo, const std::string& revision = "main",
                                   const std::vector<std::string>& globs = {}, const ProgressHandler& progressHandler = {},
                                   std::stop_token stop = {}) const;

    // {downloadBase}/{type}/{repo id}, and its metadata folder.
    std::filesystem::path repoDestination(const Repo& repo) const;
    static std::filesystem::path metadataFolder(const std::filesystem::path& repoDestination);

    // Hub URLs: endpoint + path pieces, each percent-encoded; parseError when the endpoint
    // is not an http(s) URL.
    static std::string buildUrl(const std::string& endpoint, const std::vector<std::pair<std::string, bool>>& pieces);

private:
    std::filesystem::path snapshotOffline(const Repo& repo, const std::vector<std::string>& globs) const;
};

std::string to_string(HubApi::RepoType type);
std::optional<HubApi::RepoType> repoTypeFromString(const std::string& text);

void to_json(nlohmann::json& json, const HubApi::RepoType& type);
void from_json(const nlohmann::json& json, HubApi::RepoType& type);
void to_json(nlohmann::json& json, const HubApi::Repo& repo);
void from_json(const nlohmann::json& json, HubApi::Repo& repo);

}  // namespace bexmor

template <>
struct std::hash<bexmor::HubApi::Repo> {
    size_t operator()(const bexmor::HubApi::Repo& repo) const noexcept;
};

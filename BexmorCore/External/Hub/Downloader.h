#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "BexmorCore/External/Hub/Broadcaster.h"
#include "Platform/Net/HttpClient.h"

namespace bexmor {

class DownloadError : public std::exception {
public:
    enum class Case { invalidDownloadLocation, unexpectedError, tempFileNotFound };

    explicit DownloadError(Case kind, std::string detail = {});
    Case kind() const { return case_; }
    bool operator==(const DownloadError& other) const { return case_ == other.case_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Case case_;
    std::string message_;
};

// Transfers one file over HTTP into a partial file, resuming from the bytes it already
// holds, retrying a transfer that breaks off after the answer began, checking the final
// size (and the SHA-256 when one is expected) and moving the finished file into place.
// A body that runs past the expected size is stopped at once and the partial file dropped;
// so is the partial file when the disk fills up (StorageError diskFull).
// The outcome is never returned: every step is announced through `broadcaster()`.
// One Downloader serves one transfer; the transfer runs on a thread the Downloader owns,
// and destroying the Downloader stops and joins it.
class Downloader {
public:
    struct DownloadState {
        enum class Kind { notStarted, downloading, completed, failed };
        Kind kind = Kind::notStarted;
        double progress = 0;                    // downloading: fraction of the expected size on disk
        std::optional<double> speed;            // downloading: bytes per second since the last report
        std::filesystem::path destination;      // completed: where the finished file now is
        std::exception_ptr error;               // failed

        static DownloadState notStarted() { return {}; }
        static DownloadState downloading(double progress, std::optional<double> speed) {
            return {Kind::downloading, progress, speed, {}, nullptr};
        }
        static DownloadState completed(std::filesystem::path destination) {
            return {Kind::completed, 0, std::nullopt, std::move(destination), nullptr};
        }
        static DownloadState failed(std::exception_ptr error) { return {Kind::failed, 0, std::nullopt, {}, std::move(error)}; }
    };

    // The flush size of the only caller; the partial file is written once per this many bytes.
    static constexpr int64_t kFlushSize = 10485760;
    // A flush proves the connection works: the retries start again from this many.
    static constexpr int kRetriesAfterProgress = 5;

    // `chunkSize` is the flush size. `inBackground` asks for a transfer that outlives the
    // program; Linux has no such service, so every transfer is an ordinary one.
    Downloader(std::filesystem::path to, std::filesystem::path incompleteDestination, bool inBackground, int64_t chunkSize);
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Size of the partial file; 0 when it is missing or unreadable.
    static int64_t incompleteFileSize(const std::filesystem::path& file);

    // Starts the transfer on the Downloader's thread and returns at once. An earlier
    // transfer of this Downloader is stopped first. `numRetries` transfers may follow one
    // that breaks off before the first flush; each flush allows kRetriesAfterProgress more.
    void setUpDownload(const std::string& url, const std::optional<std::string>& token, int64_t resumeSize,
                       const std::optional<std::map<std::string, std::string>>& headers, double timeoutSeconds, int numRetries);

    // Stops the transfer and announces failed(UrlError cancelled) at once. The partial file
    // keeps every byte already flushed.
    void cancel();

    Broadcaster<DownloadState>& broadcaster() { return broadcaster_; }

    void setExpectedSize(std::optional<int64_t> size);
    std::optional<int64_t> expectedSize() const;
    int64_t downloadedSize() const;
    // When set, the finished file must have this SHA-256 (lower-case hex); a mismatch
    // deletes the partial file and fails with a file integrity error.
    void setExpectedSha256(std::optional<std::string> sha256);
    // The entity tag by which the hub names the version being fetched (without quotes).
    // A resumed request carries in If-Range the validator of the server that sent the
    // bytes on disk (a file host may name the version its own way), else this tag, and a
    // ranged answer that names another version starts the partial file again from byte 0
    // instead of mixing the two. With a tag set, that server's validator is kept in the
    // partial's record (validatorRecord()), so a resume in a later run asks for the same.
    void setExpectedEtag(std::optional<std::string> etag);
    // The pause before a retry (one second unless a test shortens it).
    void setRetryDelay(std::chrono::milliseconds delay);
    // A transfer slower than this counts as timed out and is retried like a dropped one.
    void setMinimumPace(platform::MinimumPace pace);

    const std::filesystem::path& destination() const { return destination_; }
    const std::filesystem::path& incompleteDestination() const { return incompleteDestination_; }
    // Beside the partial file: the hub's etag and, on the next line, the validator of the
    // server whose bytes the partial file holds.
    std::filesystem::path validatorRecord() const;

private:
    struct Request {
        std::string url;
        std::optional<std::string> token;
        std::map<std::string, std::string> headers;
        long idleTimeoutSeconds = 10;
        platform::MinimumPace minimumPace;
    };
    // The names of the version the partial file holds: the hub's, and the answering server's.
    struct Versions {
        std::optional<std::string> hub;
        std::optional<std::string> host;
    };
    // What an answer means for the bytes already on disk.
    enum class Answer { append, startOver, otherVersion, misplaced, refused };

    void transfer(std::stop_token stop, Request request, int64_t resumeSize, int numRetries);
    void httpGet(std::stop_token stop, const Request& request, int fd, int numRetries);
    platform::HttpRequest requestFor(const Request& request, int64_t startSize, const Versions& versions) const;
    static Answer judge(const platform::HttpResponse& response, int64_t startSize, const Versions& versions);
    void checkSize(int fd, std::optional<int64_t> expected) const;
    void checkContent(const std::optional<std::string>& expectedSha256) const;
    void startOver(int fd);
    Versions recordedVersions(int64_t startSize) const;
    void rememberHost(Versions& versions, const platform::HttpResponse& response) const;
    void forgetVersions() const;
    // The partial file's bytes can never become the file: it goes, with its record.
    void discardPartial() const;
    void moveDownloadedFile() const;

    const std::filesystem::path destination_;
    const std::filesystem::path incompleteDestination_;
    const int64_t chunkSize_;
    Broadcaster<DownloadState> broadcaster_;

    mutable std::mutex mutex_;
    std::optional<int64_t> expectedSize_;
    int64_t downloadedSize_ = 0;
    std::optional<std::string> expectedSha256_;
    std::optional<std::string> expectedEtag_;
    std::chrono::milliseconds retryDelay_{1000};
    platform::MinimumPace minimumPace_;
    std::jthread thread_;
};

}  // namespace bexmor

#include "BexmorCore/External/Hub/Downloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <system_error>

#include "BexmorCore/External/Hub/FileHashing.h"
#include "BexmorCore/External/Hub/HubApi.h"
#include "BexmorCore/External/Hub/HubErrors.h"
#include "Platform/Net/HttpClient.h"

namespace bexmor {

namespace fs = std::filesystem;

namespace {

const char* describe(DownloadError::Case kind) {
    switch (kind) {
    case DownloadError::Case::invalidDownloadLocation: return "The download location is invalid.";
    case DownloadError::Case::unexpectedError: return "The download failed unexpectedly.";
    case DownloadError::Case::tempFileNotFound: return "The partial download file was not found.";
    }
    return "The download failed.";
}

[[noreturn]] void throwErrno(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

void writeAll(int fd, const char* data, size_t size, const fs::path& file) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            throwErrno("writing " + file.string());
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

// Closes the descriptor once, whichever way the transfer ends.
struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// A validator that may go back into an If-Range header as it stands: visible ASCII only,
// no quote, and short, whatever a server or a damaged record holds.
bool isSendable(const std::string& tag) {
    if (tag.empty() || tag.size() > 256) return false;
    return std::all_of(tag.begin(), tag.end(), [](char c) { return c > ' ' && c < 0x7f && c != '"'; });
}

std::optional<std::string> tagOf(const platform::HttpResponse& response, const char* header) {
    auto tag = HubApi::normalizeEtag(response.headers.value(header));
    if (tag && tag->empty()) return std::nullopt;
    return tag;
}

// Written aside, synced and renamed over the old one, so a record is never half written.
void writeRecord(const fs::path& path, const std::string& text) {
    const fs::path aside = path.string() + ".new";
    {
        FileDescriptor file;
        file.fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (file.fd < 0) throwErrno("creating " + aside.string());
        writeAll(file.fd, text.data(), text.size(), aside);
        if (::fsync(file.fd) != 0) throwErrno("syncing " + aside.string());
    }
    if (::rename(aside.c_str(), path.c_str()) != 0) throwErrno("renaming " + aside.string());
}

// The body of one answer on its way into the partial file: collected in memory and written
// once per flush size, with a progress report per flush when the expected size is known.
class BodyWriter {
public:
    using AddWritten = std::function<void(int64_t)>;
    using Report = std::function<void(double, std::optional<double>)>;
    using Discard = std::function<void()>;

    BodyWriter(int fd, const fs::path& file, size_t flushSize, std::optional<int64_t> expected, AddWritten addWritten, Report report,
               Discard discard)
        : fd_(fd), file_(file), flushSize_(flushSize), expected_(expected), addWritten_(std::move(addWritten)), report_(std::move(report)),
          discard_(std::move(discard)) {
        buffer_.reserve(flushSize_);
    }

    // A new answer whose first byte belongs at `size`; bytes of an earlier answer still in
    // memory are dropped (the partial file ends where the flushed ones end).
    void begin(int64_t size) {
        buffer_.clear();
        runningSize_ = size;
        sizeAtLastReport_ = size;
        intervalStart_ = std::chrono::steady_clock::now();
    }

    // True when bytes went to disk.
    bool take(const char* data, size_t size) {
        buffer_.append(data, size);
        if (expected_ && runningSize_ + static_cast<int64_t>(buffer_.size()) > *expected_) {
            // More bytes than the file has: this is not the file we were told of. Stop
            // here instead of filling the disk, and drop what came, as for a final size
            // that is too large.
            discard_();
            throw DownloadError(DownloadError::Case::unexpectedError,
                                "the server sent more than the expected " + std::to_string(*expected_) + " bytes");
        }
        bool flushed = false;
        while (buffer_.size() >= flushSize_) {
            write(flushSize_);
            flushed = true;
            if (expected_) reportProgress();
        }
        return flushed;
    }

    // The rest after the last flush; no report of its own.
    void finish() {
        if (!buffer_.empty()) write(buffer_.size());
    }

private:
    void write(size_t count) {
        writeAll(fd_, buffer_.data(), count, file_);
        buffer_.erase(0, count);
        runningSize_ += static_cast<int64_t>(count);
        addWritten_(static_cast<int64_t>(count));
    }

    void reportProgress() {
        const double progress = *expected_ == 0 ? 0.0 : static_cast<double>(runningSize_) / static_cast<double>(*expected_);
        const auto now = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(now - intervalStart_).count();
        std::optional<double> speed;
        if (elapsed > 0) speed = static_cast<double>(runningSize_ - sizeAtLastReport_) / elapsed;
        report_(progress, speed);
        intervalStart_ = now;
        sizeAtLastReport_ = runningSize_;
    }

    const int fd_;
    const fs::path& file_;
    const size_t flushSize_;
    const std::optional<int64_t> expected_;
    const AddWritten addWritten_;
    const Report report_;
    const Discard discard_;
    std::string buffer_;
    int64_t runningSize_ = 0;
    int64_t sizeAtLastReport_ = 0;
    std::chrono::steady_clock::time_point intervalStart_;
};

}  // namespace

DownloadError::DownloadError(Case kind, std::string detail) : case_(kind), message_(describe(kind)) {
    if (!detail.empty()) message_ += " (" + detail + ")";
}

Downloader::Downloader(fs::path to, fs::path incompleteDestination, bool /*inBackground*/, int64_t chunkSize)
    : destination_(std::move(to)),
      incompleteDestination_(std::move(incompleteDestination)),
      chunkSize_(chunkSize >= 1 ? chunkSize : kFlushSize),
      broadcaster_([] { return std::optional<DownloadState>(DownloadState::notStarted()); }) {}

Downloader::~Downloader() {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
}

int64_t Downloader::incompleteFileSize(const fs::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return 0;
    return static_cast<int64_t>(info.st_size);
}

fs::path Downloader::validatorRecord() const { return incompleteDestination_.string() + ".validator"; }

void Downloader::setExpectedSize(std::optional<int64_t> size) {
    std::scoped_lock lock(mutex_);
    expectedSize_ = size;
}

std::optional<int64_t> Downloader::expectedSize() const {
    std::scoped_lock lock(mutex_);
    return expectedSize_;
}

int64_t Downloader::downloadedSize() const {
    std::scoped_lock lock(mutex_);
    return downloadedSize_;
}

void Downloader::setExpectedSha256(std::optional<std::string> sha256) {
    std::scoped_lock lock(mutex_);
    expectedSha256_ = std::move(sha256);
}

void Downloader::setExpectedEtag(std::optional<std::string> etag) {
    std::scoped_lock lock(mutex_);
    expectedEtag_ = std::move(etag);
}

void Downloader::setRetryDelay(std::chrono::milliseconds delay) {
    std::scoped_lock lock(mutex_);
    retryDelay_ = delay;
}

void Downloader::setMinimumPace(platform::MinimumPace pace) {
    std::scoped_lock lock(mutex_);
    minimumPace_ = pace;
}

void Downloader::setUpDownload(const std::string& url, const std::optional<std::string>& token, int64_t resumeSize,
                               const std::optional<std::map<std::string, std::string>>& headers, double timeoutSeconds,
                               int numRetries) {
    if (thread_.joinable()) {
        thread_.request_stop();
        thread_.join();
    }
    Request request;
    request.url = url;
    request.token = token;
    request.headers = headers.value_or(std::map<std::string, std::string>{});
    request.idleTimeoutSeconds = std::max(1L, static_cast<long>(std::ceil(timeoutSeconds)));
    {
        std::scoped_lock lock(mutex_);
        request.minimumPace = minimumPace_;
    }
    thread_ = std::jthread([this, request, resumeSize, numRetries](std::stop_token stop) {
        transfer(stop, request, resumeSize, numRetries);
    });
}

void Downloader::cancel() {
    thread_.request_stop();
    broadcaster_.broadcast(DownloadState::failed(std::make_exception_ptr(UrlError(UrlError::Code::cancelled))));
}

void Downloader::transfer(std::stop_token stop, Request request, int64_t resumeSize, int numRetries) {
    // Every way out of here announces a terminal state: subscribers wait for one.
    FileDescriptor file;
    try {
        std::optional<int64_t> expected;
        std::optional<std::string> expectedSha256;
        {
            std::scoped_lock lock(mutex_);
            downloadedSize_ = std::max<int64_t>(resumeSize, 0);
            expected = expectedSize_;
            expectedSha256 = expectedSha256_;
        }
        file.fd = ::open(incompleteDestination_.c_str(), O_WRONLY | O_CLOEXEC);
        if (file.fd < 0) throwErrno("opening " + incompleteDestination_.string());
        if (resumeSize >= 1 && ::lseek(file.fd, 0, SEEK_END) < 0) throwErrno("seeking in " + incompleteDestination_.string());

        bool alreadyComplete = false;
        if (expected && resumeSize >= 1 && resumeSize >= *expected) {
            if (resumeSize == *expected) {
                // The last write landed before an earlier run ended: a ranged request would
                // only get 416, so the partial file is finished as it is.
                alreadyComplete = true;
            } else {
                // More bytes than the file has: they cannot be trusted, so start over.
                startOver(file.fd);
                resumeSize = 0;
            }
        }
        if (resumeSize >= 1 && expected && *expected >= 1) {
            broadcaster_.broadcast(DownloadState::downloading(static_cast<double>(resumeSize) / static_cast<double>(*expected), std::nullopt));
        } else {
            broadcaster_.broadcast(DownloadState::downloading(0, std::nullopt));
        }
        if (!alreadyComplete) httpGet(stop, request, file.fd, numRetries);

        checkSize(file.fd, expected);
        const int fd = file.fd;
        file.fd = -1;
        if (::close(fd) != 0) throwErrno("closing " + incompleteDestination_.string());
        checkContent(expectedSha256);
        if (stop.stop_requested()) throw UrlError(UrlError::Code::cancelled);
        moveDownloadedFile();
        forgetVersions();
        broadcaster_.broadcast(DownloadState::completed(destination_));
    } catch (const std::system_error& error) {
        if (!StorageError::isOutOfSpace(error.code())) {
            broadcaster_.broadcast(DownloadState::failed(std::current_exception()));
            return;
        }
        // A partial file that filled the disk is in the way of everything else on it, and
        // the next try has to start with the space it needs anyway.
        discardPartial();
        const auto expected = expectedSize();
        const auto needed = expected && *expected > 0 ? std::optional<uint64_t>(static_cast<uint64_t>(*expected)) : std::nullopt;
        broadcaster_.broadcast(DownloadState::failed(std::make_exception_ptr(StorageError::diskFull(incompleteDestination_, needed))));
    } catch (...) {
        broadcaster_.broadcast(DownloadState::failed(std::current_exception()));
    }
}

// The finished partial file must have the expected size and be on disk before the name
// says the file is complete.
void Downloader::checkSize(int fd, std::optional<int64_t> expected) const {
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0) throwErrno("seeking in " + incompleteDestination_.string());
    if (expected && size != *expected) {
        // Too many bytes can never be resumed; too few can.
        if (size > *expected) discardPartial();
        throw DownloadError(DownloadError::Case::unexpectedError,
                            "received " + std::to_string(size) + " bytes, expected " + std::to_string(*expected));
    }
    if (::fsync(fd) != 0) throwErrno("syncing " + incompleteDestination_.string());
}

void Downloader::checkContent(const std::optional<std::string>& expectedSha256) const {
    if (expectedSha256 && sha256OfFile(incompleteDestination_) != *expectedSha256) {
        discardPartial();
        throw EnvironmentError::fileIntegrityError("Hash mismatch for " + destination_.filename().string());
    }
}

// The partial file's bytes are of no use any more: it starts again empty.
void Downloader::startOver(int fd) {
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) < 0) throwErrno("truncating " + incompleteDestination_.string());
    std::scoped_lock lock(mutex_);
    downloadedSize_ = 0;
}

void Downloader::httpGet(std::stop_token stop, const Request& request, int fd, int numRetries) {
    std::chrono::milliseconds retryDelay;
    {
        std::scoped_lock lock(mutex_);
        retryDelay = retryDelay_;
    }
    Versions versions = recordedVersions(downloadedSize());
    BodyWriter body(
        fd, incompleteDestination_, static_cast<size_t>(chunkSize_), expectedSize(),
        [this](int64_t written) {
            std::scoped_lock lock(mutex_);
            downloadedSize_ += written;
        },
        [this](double progress, std::optional<double> speed) { broadcaster_.broadcast(DownloadState::downloading(progress, speed)); },
        [this] { discardPartial(); });
    bool startedOverForNewVersion = false;
    int retriesLeft = numRetries;

    while (true) {
        const int64_t startSize = downloadedSize();
        body.begin(startSize);
        std::optional<Answer> answer;
        long status = 0;

        platform::HttpStreamHandler handler;
        handler.onResponse = [&](const platform::HttpResponse& response) {
            status = response.status;
            answer = judge(response, startSize, versions);
            if (answer == Answer::startOver) {
                // The server sends the whole file: start it afresh rather than append a
                // second copy after the partial content.
                startOver(fd);
                body.begin(0);
            }
            if (answer != Answer::append && answer != Answer::startOver) return false;
            rememberHost(versions, response);
            return true;
        };
        handler.onBody = [&](const char* data, size_t size) {
            if (body.take(data, size)) retriesLeft = kRetriesAfterProgress;
        };

        try {
            platform::send(requestFor(request, startSize, versions), stop, &handler);
        } catch (const UrlError& error) {
            const bool accepted = answer == Answer::append || answer == Answer::startOver;
            if (error.code() == UrlError::Code::cancelled || !accepted || retriesLeft <= 0) throw;
            // Bytes still in memory are dropped; the next request starts after the flushed ones.
            std::mutex waitMutex;
            std::condition_variable_any waiter;
            std::unique_lock waitLock(waitMutex);
            waiter.wait_for(waitLock, stop, retryDelay, [] { return false; });
            if (stop.stop_requested()) throw UrlError(UrlError::Code::cancelled);
            --retriesLeft;
            continue;
        }
        switch (answer.value_or(Answer::refused)) {
        case Answer::append:
        case Answer::startOver:
            body.finish();
            return;
        case Answer::otherVersion:
            // Once: a file that keeps changing under the download cannot be fetched whole.
            if (startedOverForNewVersion)
                throw DownloadError(DownloadError::Case::unexpectedError, "the file changed on the server during the download");
            startedOverForNewVersion = true;
            startOver(fd);
            continue;
        case Answer::misplaced:
            throw DownloadError(DownloadError::Case::unexpectedError, "the server sent a range that does not continue the file");
        case Answer::refused:
            throw DownloadError(DownloadError::Case::unexpectedError, "HTTP status " + std::to_string(status));
        }
    }
}

platform::HttpRequest Downloader::requestFor(const Request& request, int64_t startSize, const Versions& versions) const {
    platform::HttpRequest http;
    http.url = request.url;
    http.idleTimeoutSeconds = request.idleTimeoutSeconds;
    http.minimumPace = request.minimumPace;
    http.followRedirects = true;
    for (const auto& [name, value] : request.headers) http.headers.set(name, value);
    if (request.token && !request.token->empty()) http.headers.set("Authorization", "Bearer " + *request.token);
    if (startSize >= 1) {
        http.headers.set("Range", "bytes=" + std::to_string(startSize) + "-");
        // A server that has another version by now answers with the whole new file. The
        // validator is the one the answering server gave, which a file host behind the hub
        // compares with its own, not the hub's.
        const auto& validator = versions.host ? versions.host : versions.hub;
        if (validator && isSendable(*validator)) http.headers.set("If-Range", "\"" + *validator + "\"");
    }
    return http;
}

Downloader::Answer Downloader::judge(const platform::HttpResponse& response, int64_t startSize, const Versions& versions) {
    if (response.status < 200 || response.status > 299) return Answer::refused;
    if (startSize < 1) return Answer::append;
    if (response.status != 206) return Answer::startOver;

    // A server that ignores If-Range may send a piece of a newer version: appended to the
    // older bytes it would make a file of neither. The hub's linked tag names the hub's
    // version; a server's own tag names what that server sent before.
    auto tag = tagOf(response, "X-Linked-Etag");
    if (!tag) tag = tagOf(response, "ETag");
    const bool known = versions.hub || versions.host;
    if (tag && known && tag != versions.hub && tag != versions.host) return Answer::otherVersion;

    // A piece that does not start where our bytes end would corrupt the file.
    const auto range = response.headers.value("Content-Range");
    if (range && !range->starts_with("bytes " + std::to_string(startSize) + "-")) return Answer::misplaced;
    return Answer::append;
}

// The validator of the server whose bytes are in the partial file, from an earlier run. Only
// a record made for the hub's version counts: the partial file may hold anything else.
Downloader::Versions Downloader::recordedVersions(int64_t startSize) const {
    Versions versions;
    {
        std::scoped_lock lock(mutex_);
        versions.hub = expectedEtag_;
    }
    if (!versions.hub || startSize < 1) return versions;
    std::ifstream in(validatorRecord(), std::ios::binary);
    std::string hub, host;
    if (std::getline(in, hub) && std::getline(in, host) && hub == *versions.hub && isSendable(host)) versions.host = host;
    return versions;
}

// From here on the partial file holds this answer's bytes: later requests, of this run or
// the next, name its server's validator.
void Downloader::rememberHost(Versions& versions, const platform::HttpResponse& response) const {
    auto host = tagOf(response, "ETag");
    if (!host) host = tagOf(response, "X-Linked-Etag");
    if (!host || !isSendable(*host) || host == versions.host) return;
    versions.host = host;
    // Written before the first byte of the answer reaches the partial file, so the record
    // never names a server whose bytes are not there.
    if (versions.hub) writeRecord(validatorRecord(), *versions.hub + "\n" + *host + "\n");
}

void Downloader::discardPartial() const {
    std::error_code ignored;
    fs::remove(incompleteDestination_, ignored);
    forgetVersions();
}

void Downloader::forgetVersions() const {
    std::error_code ignored;
    fs::remove(validatorRecord(), ignored);
}

void Downloader::moveDownloadedFile() const {
    // rename() replaces a file in one step; only a folder in the way has to go first.
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(destination_, error))) fs::remove_all(destination_);
    if (destination_.has_parent_path()) fs::create_directories(destination_.parent_path());
    fs::rename(incompleteDestination_, destination_);
}

}  // namespace bexmor

#include "BexmorCore/External/Hub/Downloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <condition_variable>
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

}  // namespace

DownloadError::DownloadError(Case kind, std::string detail) : case_(kind), message_(describe(kind)) {
    if (!detail.empty()) message_ += " (" + detail + ")";
}

Downloader::Downloader(fs::path to, fs::path incompleteDestination, bool inBackground, int64_t chunkSize)
    : destination_(std::move(to)),
      incompleteDestination_(std::move(incompleteDestination)),
      inBackground_(inBackground),
      chunkSize_(chunkSize),
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
                if (::ftruncate(file.fd, 0) != 0 || ::lseek(file.fd, 0, SEEK_SET) < 0) throwErrno("truncating " + incompleteDestination_.string());
                std::scoped_lock lock(mutex_);
                downloadedSize_ = 0;
                resumeSize = 0;
            }
        }
        if (resumeSize >= 1 && expected && *expected >= 1) {
            broadcaster_.broadcast(DownloadState::downloading(static_cast<double>(resumeSize) / static_cast<double>(*expected), std::nullopt));
        } else {
            broadcaster_.broadcast(DownloadState::downloading(0, std::nullopt));
        }
        if (!alreadyComplete) httpGet(stop, request, file.fd, numRetries);

        const off_t size = ::lseek(file.fd, 0, SEEK_END);
        if (size < 0) throwErrno("seeking in " + incompleteDestination_.string());
        if (expected && size != *expected) {
            // Too many bytes can never be resumed; too few can.
            if (size > *expected) {
                ::close(file.fd);
                file.fd = -1;
                std::error_code ignored;
                fs::remove(incompleteDestination_, ignored);
            }
            throw DownloadError(DownloadError::Case::unexpectedError,
                                "received " + std::to_string(size) + " bytes, expected " + std::to_string(*expected));
        }
        // The content must be on disk before the name says the file is complete.
        if (::fsync(file.fd) != 0) throwErrno("syncing " + incompleteDestination_.string());
        const int fd = file.fd;
        file.fd = -1;
        if (::close(fd) != 0) throwErrno("closing " + incompleteDestination_.string());

        if (expectedSha256 && sha256OfFile(incompleteDestination_) != *expectedSha256) {
            std::error_code ignored;
            fs::remove(incompleteDestination_, ignored);
            throw EnvironmentError::fileIntegrityError("Hash mismatch for " + destination_.filename().string());
        }
        if (stop.stop_requested()) throw UrlError(UrlError::Code::cancelled);
        moveDownloadedFile();
        broadcaster_.broadcast(DownloadState::completed(destination_));
    } catch (...) {
        broadcaster_.broadcast(DownloadState::failed(std::current_exception()));
    }
}

void Downloader::httpGet(std::stop_token stop, const Request& request, int fd, int numRetries) {
    std::optional<int64_t> expected = expectedSize();
    std::chrono::milliseconds retryDelay;
    std::optional<std::string> expectedEtag;
    {
        std::scoped_lock lock(mutex_);
        retryDelay = retryDelay_;
        expectedEtag = expectedEtag_;
    }
    bool restartedForNewVersion = false;
    const size_t flushSize = static_cast<size_t>(kFlushSize);
    std::string buffer;
    buffer.reserve(flushSize);
    int retriesLeft = numRetries;

    while (true) {
        platform::HttpRequest http;
        http.url = request.url;
        http.idleTimeoutSeconds = request.idleTimeoutSeconds;
        http.followRedirects = true;
        for (const auto& [name, value] : request.headers) http.headers.set(name, value);
        if (request.token && !request.token->empty()) http.headers.set("Authorization", "Bearer " + *request.token);
        const int64_t startSize = downloadedSize();
        if (startSize >= 1) {
            http.headers.set("Range", "bytes=" + std::to_string(startSize) + "-");
            // A server that has another version by now answers with the whole new file.
            if (expectedEtag) http.headers.set("If-Range", "\"" + *expectedEtag + "\"");
        }

        buffer.clear();
        int64_t runningSize = startSize;
        int64_t sizeAtLastReport = runningSize;
        auto intervalStart = std::chrono::steady_clock::now();
        bool responseBegan = false;
        bool otherVersion = false;
        std::optional<long> badStatus;

        auto flush = [&](size_t count) {
            writeAll(fd, buffer.data(), count, incompleteDestination_);
            buffer.erase(0, count);
            runningSize += static_cast<int64_t>(count);
            {
                std::scoped_lock lock(mutex_);
                downloadedSize_ += static_cast<int64_t>(count);
            }
            retriesLeft = 5;
        };

        platform::HttpStreamHandler handler;
        handler.onResponse = [&](const platform::HttpResponse& response) {
            responseBegan = true;
            if (response.status < 200 || response.status > 299) {
                badStatus = response.status;
                return false;
            }
            auto tag = response.headers.value("X-Linked-Etag");
            if (!tag) tag = response.headers.value("ETag");
            const auto answered = HubApi::normalizeEtag(tag);
            if (startSize >= 1 && response.status == 206 && expectedEtag && answered && *answered != *expectedEtag) {
                // A server that ignores If-Range may send a piece of a newer version:
                // appended to the older bytes it would make a file of neither.
                otherVersion = true;
                return false;
            }
            // The version on disk from here on is the one this answer names: later
            // resumes ask for it (the server that answers may name it its own way).
            if (answered && !answered->empty()) expectedEtag = answered;
            if (startSize >= 1 && response.status == 206) {
                // A piece that does not start where our bytes end would corrupt the file.
                const auto range = response.headers.value("Content-Range");
                if (range && !range->starts_with("bytes " + std::to_string(startSize) + "-")) {
                    badStatus = response.status;
                    return false;
                }
            }
            if (startSize >= 1 && response.status == 200) {
                // The server ignored the range and sends the whole file: start it afresh
                // rather than append a second copy after the partial content.
                if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) < 0) throwErrno("truncating " + incompleteDestination_.string());
                std::scoped_lock lock(mutex_);
                downloadedSize_ = 0;
                runningSize = 0;
                sizeAtLastReport = 0;
            }
            return true;
        };
        handler.onBody = [&](const char* data, size_t size) {
            buffer.append(data, size);
            if (expected && runningSize + static_cast<int64_t>(buffer.size()) > *expected) {
                // More bytes than the file has: this is not the file we were told of. Stop
                // here instead of filling the disk, and drop what came, as for a final size
                // that is too large.
                std::error_code ignored;
                fs::remove(incompleteDestination_, ignored);
                throw DownloadError(DownloadError::Case::unexpectedError,
                                    "the server sent more than the expected " + std::to_string(*expected) + " bytes");
            }
            while (buffer.size() >= flushSize) {
                flush(flushSize);
                if (expected) {
                    const double progress = *expected == 0 ? 0.0 : static_cast<double>(runningSize) / static_cast<double>(*expected);
                    const auto now = std::chrono::steady_clock::now();
                    const double elapsed = std::chrono::duration<double>(now - intervalStart).count();
                    std::optional<double> speed;
                    if (elapsed > 0) speed = static_cast<double>(runningSize - sizeAtLastReport) / elapsed;
                    broadcaster_.broadcast(DownloadState::downloading(progress, speed));
                    intervalStart = now;
                    sizeAtLastReport = runningSize;
                }
            }
        };

        try {
            platform::send(http, stop, &handler);
        } catch (const UrlError& error) {
            if (error.code() == UrlError::Code::cancelled || !responseBegan || badStatus || otherVersion ||
                retriesLeft <= 0)
                throw;
            // Bytes still in memory are dropped; the next request starts after the flushed ones.
            std::mutex waitMutex;
            std::condition_variable_any waiter;
            std::unique_lock waitLock(waitMutex);
            waiter.wait_for(waitLock, stop, retryDelay, [] { return false; });
            if (stop.stop_requested()) throw UrlError(UrlError::Code::cancelled);
            --retriesLeft;
            continue;
        }
        if (otherVersion) {
            // Once: a file that keeps changing under the download cannot be fetched whole.
            if (restartedForNewVersion)
                throw DownloadError(DownloadError::Case::unexpectedError, "the file changed on the server during the download");
            restartedForNewVersion = true;
            if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) < 0) throwErrno("truncating " + incompleteDestination_.string());
            std::scoped_lock lock(mutex_);
            downloadedSize_ = 0;
            continue;
        }
        if (badStatus) {
            throw DownloadError(DownloadError::Case::unexpectedError,
                                *badStatus == 206 ? "the server sent a range that does not continue the file"
                                                  : "HTTP status " + std::to_string(*badStatus));
        }
        if (!buffer.empty()) {
            const size_t rest = buffer.size();
            writeAll(fd, buffer.data(), rest, incompleteDestination_);
            buffer.clear();
            std::scoped_lock lock(mutex_);
            downloadedSize_ += static_cast<int64_t>(rest);
        }
        return;
    }
}

void Downloader::moveDownloadedFile() const {
    // rename() replaces a file in one step; only a folder in the way has to go first.
    std::error_code error;
    if (fs::is_directory(fs::symlink_status(destination_, error))) fs::remove_all(destination_);
    if (destination_.has_parent_path()) fs::create_directories(destination_.parent_path());
    fs::rename(incompleteDestination_, destination_);
}

}  // namespace bexmor

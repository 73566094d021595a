#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "Platform/Net/UrlError.h"

namespace bexmor {

// The platform's URL error: transport failures of hub requests reach callers as this type.
using UrlError = platform::UrlError;

// Errors of the hub client. Each carries its case and payload; what() is the message.
class HubClientError : public std::exception {
public:
    enum class Case {
        authorizationRequired,
        httpStatusCode,
        jsonSerialization,
        downloadError,
        fileNotFound,
        networkError,
        resourceNotFound,
        configurationMissing,
        fileSystemError,
        parseError,
        parse,
        unexpectedError,
    };

    static HubClientError authorizationRequired(std::optional<long long> statusCode);
    static HubClientError httpStatusCode(long long statusCode);
    static HubClientError jsonSerialization(std::string fileUrl, std::string message);
    static HubClientError downloadError(std::string text);
    // A transport failure of a request, its kind kept (a silent server is not an absent one).
    static HubClientError downloadError(const UrlError& cause);
    static HubClientError fileNotFound(std::string text);
    static HubClientError networkError(const UrlError& error);
    static HubClientError resourceNotFound(std::string text);
    static HubClientError configurationMissing(std::string text);
    static HubClientError fileSystemError(const std::exception& error);
    static HubClientError parseError(std::string text);
    static HubClientError parse();
    static HubClientError unexpectedError();

    Case kind() const { return case_; }
    std::optional<long long> statusCode() const { return statusCode_; }
    // The text payload (downloadError, fileNotFound, ...), the JSON message, or the
    // description of the wrapped error.
    const std::string& text() const { return text_; }
    const std::string& fileUrl() const { return fileUrl_; }
    // downloadError from a transport failure: what kind it was.
    std::optional<UrlError::Code> transportCode() const { return transportCode_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    HubClientError(Case kind, std::string message) : case_(kind), message_(std::move(message)) {}
    // A case whose message is a fixed prefix followed by its text payload.
    static HubClientError withText(Case kind, const char* prefix, std::string text);
    Case case_;
    std::optional<long long> statusCode_;
    std::optional<UrlError::Code> transportCode_;
    std::string text_;
    std::string fileUrl_;
    std::string message_;
};

// Errors about the local cache and the environment of the hub client.
class EnvironmentError : public std::exception {
public:
    enum class Case { invalidMetadataError, offlineModeError, fileIntegrityError, fileWriteError };

    static EnvironmentError invalidMetadataError(std::string text) { return {Case::invalidMetadataError, std::move(text)}; }
    static EnvironmentError offlineModeError(std::string text) { return {Case::offlineModeError, std::move(text)}; }
    static EnvironmentError fileIntegrityError(std::string text) { return {Case::fileIntegrityError, std::move(text)}; }
    // `cause`: the file system's error, when there was one, so a full disk stays a full disk.
    static EnvironmentError fileWriteError(std::string text, std::error_code cause = {}) {
        EnvironmentError error(Case::fileWriteError, std::move(text));
        error.code_ = cause;
        return error;
    }

    Case kind() const { return case_; }
    const std::string& text() const { return text_; }
    // fileWriteError: the file system's error behind it (empty when there was none).
    const std::error_code& code() const { return code_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    EnvironmentError(Case kind, std::string text);
    Case case_;
    std::string text_;
    std::error_code code_;
    std::string message_;
};

// The file system of the cache cannot take a download: too little free space before it
// starts, space running out while it writes (the partial file is then removed), or a name
// longer than the file system allows.
class StorageError : public std::exception {
public:
    enum class Case { notEnoughSpace, diskFull, nameTooLong };

    // `needed` bytes are still to be written below `folder`, which has `available` free.
    static StorageError notEnoughSpace(std::filesystem::path folder, uint64_t needed, uint64_t available);
    // Writing `file` failed for lack of space; `needed` is what the whole download still
    // wanted, when known.
    static StorageError diskFull(std::filesystem::path file, std::optional<uint64_t> needed);
    static StorageError nameTooLong(std::string name);

    // Whether an error of the file system means the disk (or the user's quota) is full, or
    // a name longer than it allows; codes of other categories never do.
    static bool isOutOfSpace(const std::error_code& code);
    static bool isNameTooLong(const std::error_code& code);

    Case kind() const { return case_; }
    const std::filesystem::path& path() const { return path_; }
    std::optional<uint64_t> needed() const { return needed_; }
    std::optional<uint64_t> available() const { return available_; }
    const std::string& name() const { return name_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    StorageError(Case kind, std::string message) : case_(kind), message_(std::move(message)) {}
    Case case_;
    std::filesystem::path path_;
    std::optional<uint64_t> needed_;
    std::optional<uint64_t> available_;
    std::string name_;
    std::string message_;
};

// A repository listing names more files than any model has: it is refused before a single
// file is fetched.
class ListingTooLargeError : public std::exception {
public:
    ListingTooLargeError(std::string repoId, size_t limit);
    const std::string& repoId() const { return repoId_; }
    size_t limit() const { return limit_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string repoId_;
    size_t limit_;
    std::string message_;
};

// The hub announced a file's size as something that is no size: negative, not a number, or
// more than a 64-bit count holds. Nothing of the file is fetched.
class InvalidSizeError : public std::exception {
public:
    // `announced` is the header's text as sent; the message keeps at most its start.
    InvalidSizeError(std::string file, std::string announced);
    const std::string& file() const { return file_; }
    const std::string& announced() const { return announced_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string file_;
    std::string announced_;
    std::string message_;
};

// A blocking operation noticed that its caller asked it to stop.
class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "The operation was cancelled."; }
};

}  // namespace bexmor

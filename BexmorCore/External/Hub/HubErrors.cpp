#include "BexmorCore/External/Hub/HubErrors.h"

#include <cerrno>

namespace bexmor {

HubClientError HubClientError::withText(Case kind, const char* prefix, std::string text) {
    HubClientError error(kind, prefix + text);
    error.text_ = std::move(text);
    return error;
}

HubClientError HubClientError::authorizationRequired(std::optional<long long> statusCode) {
    HubClientError error(Case::authorizationRequired,
                         statusCode ? "Authentication failed with status code: " + std::to_string(*statusCode) +
                                          ". Please check your hub token."
                                    : "Authentication required. Please provide a valid hub token.");
    error.statusCode_ = statusCode;
    return error;
}

HubClientError HubClientError::httpStatusCode(long long statusCode) {
    HubClientError error(Case::httpStatusCode, "HTTP error with status code: " + std::to_string(statusCode));
    error.statusCode_ = statusCode;
    return error;
}

HubClientError HubClientError::jsonSerialization(std::string fileUrl, std::string message) {
    HubClientError error(Case::jsonSerialization, message);
    error.text_ = std::move(message);
    error.fileUrl_ = std::move(fileUrl);
    return error;
}

HubClientError HubClientError::downloadError(std::string text) {
    return withText(Case::downloadError, "Download failed: ", std::move(text));
}

HubClientError HubClientError::downloadError(const UrlError& cause) {
    HubClientError error = downloadError(std::string(cause.what()));
    error.transportCode_ = cause.code();
    return error;
}

HubClientError HubClientError::fileNotFound(std::string text) {
    return withText(Case::fileNotFound, "File not found: ", std::move(text));
}

HubClientError HubClientError::networkError(const UrlError& cause) {
    return withText(Case::networkError, "Network error: ", cause.what());
}

HubClientError HubClientError::resourceNotFound(std::string text) {
    return withText(Case::resourceNotFound, "Resource not found: ", std::move(text));
}

HubClientError HubClientError::configurationMissing(std::string text) {
    return withText(Case::configurationMissing, "Required configuration file missing: ", std::move(text));
}

HubClientError HubClientError::fileSystemError(const std::exception& cause) {
    return withText(Case::fileSystemError, "File system error: ", cause.what());
}

HubClientError HubClientError::parseError(std::string text) {
    return withText(Case::parseError, "Parse error: ", std::move(text));
}

HubClientError HubClientError::parse() { return HubClientError(Case::parse, "Failed to parse server response."); }

HubClientError HubClientError::unexpectedError() { return HubClientError(Case::unexpectedError, "An unexpected error occurred."); }

EnvironmentError::EnvironmentError(Case kind, std::string text) : case_(kind), text_(std::move(text)) {
    switch (kind) {
    case Case::invalidMetadataError: message_ = "Invalid metadata: " + text_; break;
    case Case::offlineModeError: message_ = "Offline mode error: " + text_; break;
    case Case::fileIntegrityError: message_ = "File integrity check failed: " + text_; break;
    case Case::fileWriteError: message_ = "Failed to write file: " + text_; break;
    }
}

StorageError StorageError::notEnoughSpace(std::filesystem::path folder, uint64_t needed, uint64_t available) {
    StorageError error(Case::notEnoughSpace, "Not enough free space in " + folder.string() + ": " + std::to_string(needed) +
                                                 " bytes needed, " + std::to_string(available) + " bytes available");
    error.path_ = std::move(folder);
    error.needed_ = needed;
    error.available_ = available;
    return error;
}

StorageError StorageError::diskFull(std::filesystem::path file, std::optional<uint64_t> needed) {
    StorageError error(Case::diskFull, "No space left while writing " + file.string() + "; the partial file was removed");
    error.path_ = std::move(file);
    error.needed_ = needed;
    return error;
}

StorageError StorageError::nameTooLong(std::string name) {
    StorageError error(Case::nameTooLong, "File name too long for the file system: " + name);
    error.name_ = std::move(name);
    return error;
}

namespace {

bool isErrno(const std::error_code& code, int number) {
    return code.value() == number && (code.category() == std::generic_category() || code.category() == std::system_category());
}

}  // namespace

bool StorageError::isOutOfSpace(const std::error_code& code) { return isErrno(code, ENOSPC) || isErrno(code, EDQUOT); }

bool StorageError::isNameTooLong(const std::error_code& code) { return isErrno(code, ENAMETOOLONG); }

ListingTooLargeError::ListingTooLargeError(std::string repoId, size_t limit)
    : repoId_(std::move(repoId)),
      limit_(limit),
      message_("The listing of " + repoId_ + " names more than " + std::to_string(limit_) + " files") {}

InvalidSizeError::InvalidSizeError(std::string file, std::string announced)
    : file_(std::move(file)), announced_(std::move(announced)) {
    // The text is the server's: a header of any length must not make a message of that length.
    constexpr size_t kShown = 40;
    const std::string shown = announced_.size() > kShown ? announced_.substr(0, kShown) + "..." : announced_;
    message_ = "The server announced an invalid size for " + file_ + ": \"" + shown + "\"";
}

}  // namespace bexmor

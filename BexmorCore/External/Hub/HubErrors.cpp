#include "BexmorCore/External/Hub/HubErrors.h"

namespace bexmor {

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
    HubClientError error(Case::downloadError, "Download failed: " + text);
    error.text_ = std::move(text);
    return error;
}

HubClientError HubClientError::fileNotFound(std::string text) {
    HubClientError error(Case::fileNotFound, "File not found: " + text);
    error.text_ = std::move(text);
    return error;
}

HubClientError HubClientError::networkError(const UrlError& cause) {
    HubClientError error(Case::networkError, std::string("Network error: ") + cause.what());
    error.text_ = cause.what();
    return error;
}

HubClientError HubClientError::resourceNotFound(std::string text) {
    HubClientError error(Case::resourceNotFound, "Resource not found: " + text);
    error.text_ = std::move(text);
    return error;
}

HubClientError HubClientError::configurationMissing(std::string text) {
    HubClientError error(Case::configurationMissing, "Required configuration file missing: " + text);
    error.text_ = std::move(text);
    return error;
}

HubClientError HubClientError::fileSystemError(const std::exception& cause) {
    HubClientError error(Case::fileSystemError, std::string("File system error: ") + cause.what());
    error.text_ = cause.what();
    return error;
}

HubClientError HubClientError::parseError(std::string text) {
    HubClientError error(Case::parseError, "Parse error: " + text);
    error.text_ = std::move(text);
    return error;
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

}  // namespace bexmor

#pragma once

#include <exception>
#include <string>

namespace bexmor {

// The one error the model downloader raises itself: the requested model is neither local
// nor (allowed to be) downloaded. what() is the whole message.
class ModelDownloaderError : public std::exception {
public:
    enum class Kind { modelUnavailable };

    static ModelDownloaderError modelUnavailable(std::string message);

    Kind kind() const noexcept { return kind_; }
    const std::string& errorDescription() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    ModelDownloaderError(Kind kind, std::string message);

    Kind kind_;
    std::string message_;
};

}  // namespace bexmor

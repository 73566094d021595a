#pragma once

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>

namespace platform {

// A file of the user's (settings, history) could not be written. Carries why, in the terms
// the user can act on, and the file; `what()` is the English text for the log.
class WriteError : public std::exception {
public:
    enum class Reason {
        diskFull,    // no space left, or the user's quota is used up
        readOnly,    // the folder or the file system may not be written
        inTheWay,    // something else (a folder, a file) stands where the file or its folder belongs
        other,
    };

    WriteError(std::filesystem::path file, int error)
        : file_(std::move(file)), errno_(error), reason_(reasonOf(error)),
          what_("cannot write " + file_.string() + ": " + std::strerror(error))
    {
    }

    Reason reason() const noexcept { return reason_; }
    int errorNumber() const noexcept { return errno_; }
    const std::filesystem::path& file() const noexcept { return file_; }
    const char* what() const noexcept override { return what_.c_str(); }

    static Reason reasonOf(int error) noexcept
    {
        switch (error) {
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return Reason::diskFull;
        case EROFS:
        case EACCES:
        case EPERM:
            return Reason::readOnly;
        case EISDIR:
        case ENOTDIR:
        case EEXIST:
        case ENOTEMPTY:
            return Reason::inTheWay;
        default:
            return Reason::other;
        }
    }

private:
    std::filesystem::path file_;
    int errno_;
    Reason reason_;
    std::string what_;
};

}  // namespace platform

#include "Platform/Defaults/PrivateFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <system_error>
#include <unistd.h>

namespace platform {
namespace {

// 0 when all of `data` reached the file, else the error.
int writeAll(int fd, const QByteArray& data)
{
    const char* cursor = data.constData();
    qsizetype left = data.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, cursor, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        cursor += written;
        left -= written;
    }
    return 0;
}

// Makes the user's own `path` (a folder or a file) `mode`; `folder` tells which it must be.
void restrictOwn(const std::filesystem::path& path, mode_t mode, bool folder)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (folder ? O_DIRECTORY : 0) | O_NONBLOCK);
    if (fd < 0) return;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() && (info.st_mode & 07777) != mode
        && (folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode))) {
        ::fchmod(fd, mode);
    }
    ::close(fd);
}

}  // namespace

std::string PrivateFile::temporaryPrefix(const std::filesystem::path& target)
{
    return "." + target.filename().string() + ".";
}

void PrivateFile::makeFolder(const std::filesystem::path& folder)
{
    std::error_code ignored;
    std::filesystem::create_directories(folder.parent_path(), ignored);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno == EEXIST) {
        // Made by an older version, or by hand with the usual 0755.
        restrictOwn(folder, 0700, true);
    }
}

void PrivateFile::restrict(const std::filesystem::path& file)
{
    restrictOwn(file, 0600, false);
}

void PrivateFile::write(const std::filesystem::path& target, const QByteArray& data)
{
    const std::filesystem::path folder = target.parent_path();
    makeFolder(folder);
    std::string temporary = (folder / (temporaryPrefix(target) + "XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        throw WriteError(target, errno);
    }
    int error = writeAll(fd, data);
    if (error == 0 && ::fchmod(fd, 0600) != 0) error = errno;
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw WriteError(target, error);
    }
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
}

}  // namespace platform

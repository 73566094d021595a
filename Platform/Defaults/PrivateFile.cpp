#include "Platform/Defaults/PrivateFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <system_error>
#include <unistd.h>

namespace platform {
namespace {

namespace fs = std::filesystem;

// The descriptor of an open file, closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The temporary files of `write` for a target are ".<name>." and the six letters or
// digits that mkostemp(3) puts in place of its "XXXXXX".
constexpr std::size_t temporaryTail = 6;

std::string temporaryPrefix(const fs::path& target)
{
    return "." + target.filename().string() + ".";
}

bool isTemporaryName(const std::string& name, const std::string& prefix)
{
    return name.size() == prefix.size() + temporaryTail && name.starts_with(prefix)
           && std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                          [](unsigned char c) { return std::isalnum(c) != 0; });
}

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
    writeSyncedBy(::fsync, target, data);
}

void PrivateFile::writeSyncedBy(const Sync& sync, const std::filesystem::path& target, const QByteArray& data)
{
    const std::filesystem::path folder = target.parent_path();
    makeFolder(folder);
    std::string temporary = (folder / (temporaryPrefix(target) + std::string(temporaryTail, 'X'))).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        throw WriteError(target, errno);
    }
    int error = writeAll(fd, data);
    if (error == 0 && ::fchmod(fd, 0600) != 0) error = errno;
    // On disk before the rename: renamed first, a power cut could leave the name on an
    // empty file, with the old content gone.
    if (error == 0 && sync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw WriteError(target, error);
    }
    // The new name itself lives in the folder; the file is in place either way, so a failed
    // flush of the folder is no failed write.
    const Descriptor folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.get() >= 0) {
        sync(folderFd.get());
    }
}

PrivateFile::Contents PrivateFile::read(const std::filesystem::path& file, qint64 limit)
{
    using Status = Contents::Status;
    // Opened without waiting: a pipe without a writer, or a device, would otherwise hold the
    // caller for good. Its kind is then told from what was opened, which no rename can
    // change between the look and the read.
    const Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) {
        return errno == ENOENT ? Contents{} : Contents{.status = Status::failed, .error = errno};
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return {.status = Status::failed, .error = errno};
    }
    if (!S_ISREG(info.st_mode) || info.st_size > limit) {
        return {.status = Status::unfit};
    }
    // One byte more than the file holds tells a file that grew since; the limit holds
    // whatever it grows to.
    QByteArray data(static_cast<qsizetype>(info.st_size) + 1, Qt::Uninitialized);
    qsizetype filled = 0;
    for (;;) {
        if (filled == data.size()) {
            if (filled > limit) {
                return {.status = Status::unfit};
            }
            data.resize(static_cast<qsizetype>(std::min<qint64>(qint64(data.size()) * 2, limit + 1)));
        }
        const ssize_t got = ::read(fd.get(), data.data() + filled, static_cast<size_t>(data.size() - filled));
        if (got < 0) {
            if (errno == EINTR) continue;
            return {.status = Status::failed, .error = errno};
        }
        if (got == 0) break;
        filled += got;
    }
    data.truncate(filled);
    return {.status = Status::read, .data = std::move(data)};
}

std::filesystem::path PrivateFile::asideName(const std::filesystem::path& file)
{
    // A name whose state cannot be told counts as free: the rename then fails instead of
    // the search going on for ever.
    const auto taken = [](const fs::path& name) {
        std::error_code ignored;
        return fs::exists(fs::symlink_status(name, ignored));
    };
    fs::path aside = file;
    aside += ".defekt";
    for (int n = 1; taken(aside); ++n) {
        aside = file;
        aside += ".defekt." + std::to_string(n);
    }
    return aside;
}

std::optional<std::filesystem::path> PrivateFile::setAside(const std::filesystem::path& file)
{
    const fs::path aside = asideName(file);
    // rename(2) moves the entry and never follows a link: a link to a device stays a link.
    if (::rename(file.c_str(), aside.c_str()) != 0) {
        return std::nullopt;
    }
    return aside;
}

void PrivateFile::removeLeftovers(const std::filesystem::path& target)
{
    const std::string prefix = temporaryPrefix(target);
    std::error_code error;
    for (fs::directory_iterator entry(target.parent_path(), error), end; !error && entry != end; entry.increment(error)) {
        std::error_code ignored;
        if (isTemporaryName(entry->path().filename().string(), prefix)
            && entry->symlink_status(ignored).type() == fs::file_type::regular) {
            fs::remove(entry->path(), ignored);
        }
    }
}

}  // namespace platform

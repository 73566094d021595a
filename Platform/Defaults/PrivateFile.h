#pragma once

#include "Platform/Defaults/WriteError.h"

#include <QByteArray>

#include <filesystem>
#include <functional>
#include <optional>

namespace platform {

// Files and folders that only their user may read: what the application stores (settings,
// vocabulary, history) is the user's own text.
class PrivateFile {
public:
    PrivateFile() = delete;

    // How a store writes a whole file; `write` below, or a failing one in tests.
    using Writer = std::function<void(const std::filesystem::path& target, const QByteArray& data)>;
    // How a written file, and then its folder, is flushed to disk: fsync(2), whose contract
    // it keeps (0, or -1 with errno set).
    using Sync = std::function<int(int fd)>;

    // The most `read` takes from one file: far above any settings or history a person
    // makes, far below what would strain the memory.
    static constexpr qint64 readLimit = qint64(64) << 20;

    // What `read` found.
    struct Contents {
        enum class Status {
            read,     // `data` holds the whole file
            missing,  // nothing there, or a link to nothing
            unfit,    // no regular file (a folder, a pipe, a device) or one larger than the limit
            failed,   // it could not be opened or read; `error` says why
        };
        Status status = Status::missing;
        QByteArray data;
        int error = 0;
    };

    // Replaces `target` with `data` so that it holds either its old or its new content at
    // every moment, even across a crash or a power loss: a temporary file in the same
    // folder, written, mode 0600, flushed to disk, renamed over the target, the folder entry
    // flushed too. The folder is made first (`makeFolder`). Throws WriteError, and then
    // leaves the old file and no temporary file behind.
    static void write(const std::filesystem::path& target, const QByteArray& data);
    // The same with another flush step than fsync(2) (one that watches the order, in tests).
    static void writeSyncedBy(const Sync& sync, const std::filesystem::path& target, const QByteArray& data);

    // Reads the whole of `file` when it is a regular file (or a link to one) of at most
    // `limit` bytes. A pipe or a device is never waited on and never read, and no more than
    // the limit is read from a file that grows meanwhile.
    static Contents read(const std::filesystem::path& file, qint64 limit = readLimit);

    // Moves `file` to the first free name of "<file>.defekt", "<file>.defekt.1", …, for a
    // store that cannot use it but must not destroy it: the entry itself is renamed, a link
    // as a link, a pipe as a pipe. Gives the new name; nothing when it could not be moved.
    static std::optional<std::filesystem::path> setAside(const std::filesystem::path& file);
    // That first free name; a name that a link, even a dangling one, holds is not free.
    static std::filesystem::path asideName(const std::filesystem::path& file);

    // Removes what interrupted writes of `target` left beside it: the regular files named
    // as `write` names its temporary files for that target, and nothing else.
    static void removeLeftovers(const std::filesystem::path& target);

    // Makes `folder` (missing parents with the usual mode) with mode 0700, without a moment
    // in which others could read it. An existing folder that belongs to the user is made
    // 0700 too; one of another owner is left as it is. Failures are left to the writes.
    static void makeFolder(const std::filesystem::path& folder);

    // Makes an existing file of the user's 0600; anything else is left alone.
    static void restrict(const std::filesystem::path& file);
};

}  // namespace platform

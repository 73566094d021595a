#pragma once

#include "Platform/Defaults/WriteError.h"

#include <QByteArray>

#include <filesystem>
#include <functional>

namespace platform {

// Files and folders that only their user may read: what the application stores (settings,
// vocabulary, history) is the user's own text.
class PrivateFile {
public:
    PrivateFile() = delete;

    // How a store writes a whole file; `write` below, or a failing one in tests.
    using Writer = std::function<void(const std::filesystem::path& target, const QByteArray& data)>;

    // Replaces `target` with `data` so that it holds either its old or its new content at
    // every moment, even across a crash or a power loss: a temporary file in the same
    // folder, written, mode 0600, flushed to disk, renamed over the target, the folder entry
    // flushed too. The folder is made first (`makeFolder`). Throws WriteError, and then
    // leaves the old file and no temporary file behind.
    static void write(const std::filesystem::path& target, const QByteArray& data);

    // Makes `folder` (missing parents with the usual mode) with mode 0700, without a moment
    // in which others could read it. An existing folder that belongs to the user is made
    // 0700 too; one of another owner is left as it is. Failures are left to the writes.
    static void makeFolder(const std::filesystem::path& folder);

    // Makes an existing file of the user's 0600; anything else is left alone.
    static void restrict(const std::filesystem::path& file);

    // The prefix of the temporary files of `write` for `target` (".<name>."), for a store
    // that clears away what an interrupted write left.
    static std::string temporaryPrefix(const std::filesystem::path& target);
};

}  // namespace platform

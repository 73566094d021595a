#pragma once

#include <filesystem>

namespace platform {

// The application's own data folder, "KORVU Darivir" under the XDG data folder
// ($XDG_DATA_HOME, default ~/.local/share). It holds the history and the speech models.
class SupportDirectory {
public:
    static constexpr const char* folderName = "KORVU Darivir";

    // The folder, created on demand (missing parents too) with mode 0700, because what it
    // holds is the user's own dictated text; a folder of the user's that exists with
    // another mode is made 0700 too. A failure to create it is ignored: the path
    // is returned in any case and the callers' file operations then fail on their own.
    static std::filesystem::path path();
};

}  // namespace platform

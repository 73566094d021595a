#pragma once

// The fuzz targets that read files write each input into a folder of their own.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

namespace fuzzing {

// Makes a new folder in $TMPDIR (the fuzz script points it at a memory file system when
// there is one) and removes it when the process exits. Called once per target process.
inline std::filesystem::path scratchFolder(std::string_view target) {
    static std::filesystem::path made;
    std::string pattern =
        (std::filesystem::temp_directory_path() / ("korvu-fuzz-" + std::string(target) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) abort();
    made = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(made, ignored);
    });
    return made;
}

}  // namespace fuzzing

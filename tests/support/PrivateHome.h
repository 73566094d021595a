#pragma once

#include <cstdlib>
#include <filesystem>

#include "support/TempDir.h"

namespace testsupport {

// Points HOME and the XDG folders (configuration, data, cache, runtime) at a fresh
// temporary folder for as long as the object lives, so settings files, the support
// directory and histories never touch the user's own. Create it before anything reads
// the environment, e.g. first thing in a suite's main().
class PrivateHome {
public:
    PrivateHome()
    {
        const std::pair<const char*, const char*> folders[] = {
            {"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"}, {"XDG_CACHE_HOME", "cache"}, {"XDG_RUNTIME_DIR", "runtime"}};
        for (const auto& [variable, folder] : folders) {
            std::filesystem::create_directories(root_ / folder);
            ::setenv(variable, (root_ / folder).c_str(), 1);
        }
        std::filesystem::permissions(root_ / "runtime", std::filesystem::perms::owner_all);
        ::setenv("HOME", root_.path().c_str(), 1);
    }

    const std::filesystem::path& path() const { return root_.path(); }

private:
    TempDir root_;
};

}  // namespace testsupport

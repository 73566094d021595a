#pragma once

#include <filesystem>

#include "support/TempDir.h"

namespace testsupport {

// Points HOME and the XDG folders (configuration, data, cache, runtime) at a fresh
// temporary folder for as long as the object lives, so settings files, the support
// directory and histories never touch the user's own. Create it before anything reads
// the environment, e.g. first thing in a suite's main().
class PrivateHome {
public:
    PrivateHome();

    const std::filesystem::path& path() const { return root_.path(); }

private:
    TempDir root_;
};

}  // namespace testsupport

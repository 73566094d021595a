#include "support/PrivateHome.h"

#include <cstdlib>

namespace testsupport {

PrivateHome::PrivateHome() {
    const std::filesystem::path& root = root_.path();
    const std::pair<const char*, const char*> folders[] = {
        {"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"}, {"XDG_CACHE_HOME", "cache"}, {"XDG_RUNTIME_DIR", "runtime"}};
    for (const auto& [variable, folder] : folders) {
        std::filesystem::create_directories(root / folder);
        ::setenv(variable, (root / folder).c_str(), 1);
    }
    std::filesystem::permissions(root / "runtime", std::filesystem::perms::owner_all);
    ::setenv("HOME", root.c_str(), 1);
}

}  // namespace testsupport

// The suite runs in a private home: every settings file, support directory and history it
// touches lies in a temporary folder made here, before anything reads the environment.
#include <QGuiApplication>
#include <QLocale>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    std::string home = (std::filesystem::temp_directory_path() / "korvu-core-test-XXXXXX").string();
    if (::mkdtemp(home.data()) == nullptr) {
        return 2;
    }
    const std::filesystem::path root(home);
    for (const char* folder : {"config", "data", "cache", "runtime"}) {
        std::filesystem::create_directories(root / folder);
    }
    std::filesystem::permissions(root / "runtime", std::filesystem::perms::owner_all);
    qputenv("HOME", home.c_str());
    qputenv("XDG_CONFIG_HOME", (root / "config").c_str());
    qputenv("XDG_DATA_HOME", (root / "data").c_str());
    qputenv("XDG_CACHE_HOME", (root / "cache").c_str());
    qputenv("XDG_RUNTIME_DIR", (root / "runtime").c_str());
    qputenv("QT_QPA_PLATFORM", "offscreen");

    ::testing::InitGoogleTest(&argc, argv);
    int status = 0;
    {
        QGuiApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return status;
}

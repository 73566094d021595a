// The suite runs in a private home: the settings file and the support directory (with the
// models the tests download or place there) lie in a temporary folder made here, before
// anything reads the environment. Each test cleans both at its start.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    // The tiny models' products are far too small to share among threads, and on a busy
    // machine spinning OpenMP threads would only wait for each other. OpenMP reads its
    // settings when the program loads, so the program starts itself again with them.
    if (const char* threads = std::getenv("OMP_NUM_THREADS"); threads == nullptr || std::string(threads) != "1") {
        ::setenv("OMP_NUM_THREADS", "1", 1);
        ::setenv("OPENBLAS_NUM_THREADS", "1", 1);
        ::execv("/proc/self/exe", argv);
        return 2;
    }

    std::string home = (std::filesystem::temp_directory_path() / "korvu-transcriber-test-XXXXXX").string();
    if (::mkdtemp(home.data()) == nullptr) {
        return 2;
    }
    const std::filesystem::path root(home);
    for (const char* folder : {"config", "data", "cache"}) {
        std::filesystem::create_directories(root / folder);
    }
    qputenv("HOME", home.c_str());
    qputenv("XDG_CONFIG_HOME", (root / "config").c_str());
    qputenv("XDG_DATA_HOME", (root / "data").c_str());
    qputenv("XDG_CACHE_HOME", (root / "cache").c_str());
    // The loopback hub is the only network the tests use; the hub client must not decide
    // it is offline because the machine has no other interface up.
    qputenv("CI_DISABLE_NETWORK_MONITOR", "1");
    qunsetenv("HF_TOKEN");
    qunsetenv("HUGGING_FACE_HUB_TOKEN");

    ::testing::InitGoogleTest(&argc, argv);
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return status;
}

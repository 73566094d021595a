// The suite runs in a private home: the settings file and the support directory (with the
// models the tests download or place there) lie in a temporary folder made here, before
// anything reads the environment. Each test cleans both at its start.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include "support/PrivateHome.h"

#include <unistd.h>

#include <cstdlib>
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

    const testsupport::PrivateHome home;
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
    return status;
}

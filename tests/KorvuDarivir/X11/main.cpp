#include <QApplication>

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>

// These tests need the real X display: the grabs, the focus and the clipboard all
// belong to the X server that with-test-session.sh starts.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    // The one exception: the test of the layer without X11 runs a copy of this program on
    // the offscreen platform.
    if (qEnvironmentVariableIsEmpty("KORVU_X11_TEST_WITHOUT_X11")) qputenv("QT_QPA_PLATFORM", "xcb");
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "test_KorvuDarivir_X11 needs an X display: run it through scripts/with-test-session.sh\n");
        return 1;
    }
    // Settings of this process only: suites run side by side in one session.
    testsupport::TempDir config;
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path().string()));
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

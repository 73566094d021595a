// The suite runs on the test session's X display (a tray item needs a real platform, not
// the offscreen one) and in a private home, so the settings it writes are its own.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdio>

#include "support/PrivateHome.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "test_KorvuDarivir_StatusItem needs an X display: run it through scripts/with-test-session.sh\n");
        return 1;
    }
    const testsupport::PrivateHome home;
    qputenv("QT_QPA_PLATFORM", "xcb");
    int status = 0;
    {
        QApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    return status;
}

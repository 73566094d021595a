#include <QApplication>

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdio>

// The floating windows' shapes, focus and accessibility belong to the X server that
// with-test-session.sh starts; offscreen would prove nothing here.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::fprintf(stderr, "test_KorvuDarivir_FloatingX11 needs an X display: run it through scripts/with-test-session.sh\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    testsupport::TempDir config;
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path().string()));
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

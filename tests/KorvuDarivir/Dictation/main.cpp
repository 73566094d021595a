// The suite runs in a private home (settings and history in a temporary folder) with an
// offscreen application for the queued completions.
#include <QGuiApplication>

#include <gtest/gtest.h>

#include "support/PrivateHome.h"

int main(int argc, char** argv)
{
    const testsupport::PrivateHome home;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    int status = 0;
    {
        QGuiApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    return status;
}

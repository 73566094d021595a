// The road tests talk to the session's X display, so the application runs on xcb; its
// settings, support folder and history live in a private home.
#include <QApplication>

#include <gtest/gtest.h>

#include "support/PrivateHome.h"

int main(int argc, char** argv)
{
    const testsupport::PrivateHome home;
    qputenv("QT_QPA_PLATFORM", "xcb");
    ::testing::InitGoogleTest(&argc, argv);
    int status = 0;
    {
        QApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    return status;
}

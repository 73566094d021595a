// The suite runs in a private home: every settings file, support directory and history it
// touches lies in a temporary folder made here, before anything reads the environment.
#include <QGuiApplication>
#include <QLocale>

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

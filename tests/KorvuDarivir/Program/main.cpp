// Every start of the program in this suite sees a private home (settings, support
// directory, autostart folder), made before anything reads the environment.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include "support/PrivateHome.h"

int main(int argc, char** argv)
{
    const testsupport::PrivateHome home;
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

// The cleanup and permissions suite needs a Qt event loop: the network calls wait in a
// local one, and the permission completions arrive as queued calls on the main thread.
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

// The floating windows' placement, timers and mouse handling, on Qt's offscreen platform
// with fake screens and a fake clock. Their behaviour on a real X server is in FloatingX11.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

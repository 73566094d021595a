// The suite needs a QApplication: the tracker polls on its event loop and reads its
// screens. With an X display (the test session) it runs on xcb, as the AT-SPI tests need;
// the fake-tree tests run either way.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

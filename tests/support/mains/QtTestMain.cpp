#include "QtTestMain.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdio>

#include "support/PrivateHome.h"

// Read by LeakSanitizer in a sanitizer build. Qt's D-Bus layer keeps its session-bus
// connection and the objects of its own thread until the process ends, with no call that
// closes them; whatever it holds then is not the project's leak.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libQt6DBus.so\nleak:libdbus-1.so\n";
}

namespace testsupport {

int runQtTests(int argc, char** argv, TestDisplay display) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    if (display == TestDisplay::x11) {
        if (qEnvironmentVariableIsEmpty("DISPLAY")) {
            std::fprintf(stderr, "%s needs an X display: run it through scripts/with-test-session.sh\n", argv[0]);
            return 1;
        }
        // A suite may ask to run as the program does where no X server answers.
        if (qEnvironmentVariableIsEmpty("KORVU_X11_TEST_WITHOUT_X11")) qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const PrivateHome home;
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}

}  // namespace testsupport

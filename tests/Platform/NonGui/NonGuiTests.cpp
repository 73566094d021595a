// A process with a plain core application asks the platform layer for the display, the
// synthetic input and the clipboard: it finds nothing, and never treats its application
// object as a GUI one (the suite's sanitizer would stop it).
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "Platform/Clipboard/Clipboard.h"
#include "Platform/Input/X11Display.h"
#include "Platform/Permissions/AccessibilityTrust.h"

TEST(NonGuiProcess, FindsNoDisplayAndNoClipboardWithoutUndefinedCasts) {
    ASSERT_NE(QCoreApplication::instance(), nullptr);
    EXPECT_FALSE(platform::X11Display::current().has_value());
    // With a display in the environment it asks the X server on a connection of its own.
    (void)platform::syntheticInputAvailable();
    (void)platform::Clipboard::instance();
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

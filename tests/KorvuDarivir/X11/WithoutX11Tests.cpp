#include "KorvuDarivir/Store/Hotkey.h"
#include "KorvuDarivir/Dictation/HotkeyCenter.h"
#include "KorvuDarivir/Dictation/TextInserter.h"
#include "Platform/Input/ActiveWindow.h"
#include "Platform/Input/KeyboardLayout.h"
#include "Platform/Input/SyntheticKeys.h"

#include "X11TestSupport.h"

#include <QClipboard>
#include <QGuiApplication>

#include <gtest/gtest.h>

using namespace x11test;
using korvu::Hotkey;
using korvu::HotkeyCenter;

// Without an X display (offscreen, Wayland) every part finds nothing and nothing
// crashes: the shortcuts stay unregistered, key names fall back, and an insertion still
// finishes and still puts the user's clipboard back. Runs itself again offscreen.
TEST(WithoutX11, EveryPartFindsNothingAndNothingCrashes)
{
    if (qEnvironmentVariableIsEmpty("KORVU_X11_TEST_WITHOUT_X11")) {
        QProcess child;
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("KORVU_X11_TEST_WITHOUT_X11", "1");
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        child.setProcessEnvironment(environment);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=WithoutX11.*"});
        ASSERT_TRUE(spinUntil([&] { return child.state() == QProcess::NotRunning; }));
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 0);
        return;
    }

    ASSERT_EQ(QGuiApplication::platformName(), "offscreen");
    auto& center = HotkeyCenter::shared();
    center.install(Hotkey{49, 0x1800}, Hotkey{13, 0x1800});
    EXPECT_EQ(center.registration(HotkeyCenter::dictation), HotkeyCenter::Registration::unavailable);
    center.setEscapeEnabled(true);
    EXPECT_FALSE(center.isRegistered(HotkeyCenter::escape));
    center.setEscapeEnabled(false);

    EXPECT_EQ((Hotkey{13, 0}.keyName()), "Taste 13");
    EXPECT_EQ((Hotkey{49, 0}.keyName()), "Leertaste");
    EXPECT_FALSE(platform::KeyboardLayout::modifierMasks());
    EXPECT_FALSE(platform::ActiveWindow::frontmostPid());
    EXPECT_EQ(platform::ActiveWindow::activate(1), platform::ActiveWindow::Activation::notFound);
    EXPECT_FALSE(platform::SyntheticKeys::controlChord(0x76, 55));

    // The offscreen clipboard lives in this process.
    QGuiApplication::clipboard()->setText(QStringLiteral("vorher"));
    bool done = false;
    korvu::TextInserter::insert(QStringLiteral("Diktat"), 4242, [&] { done = true; });
    ASSERT_TRUE(spinUntil([&] { return done; }));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "vorher");
}

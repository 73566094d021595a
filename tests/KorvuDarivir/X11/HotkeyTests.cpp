#include "KorvuDarivir/Dictation/Hotkey.h"
#include "Platform/Input/KeyCodes.h"

#include "X11TestSupport.h"

#include <QKeyEvent>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

using korvu::Hotkey;
using x11test::runTool;

namespace {

TEST(Hotkey, ModifierSymbolsAlwaysInControlOptionShiftCommandOrder)
{
    EXPECT_EQ((Hotkey{49, 0x1800}.modifierSymbols()), (QStringList{"⌃", "⌥"}));
    EXPECT_EQ((Hotkey{0, 0x100 | 0x200 | 0x800 | 0x1000}.modifierSymbols()), (QStringList{"⌃", "⌥", "⇧", "⌘"}));
    EXPECT_EQ((Hotkey{0, 0x100 | 0x200}.modifierSymbols()), (QStringList{"⇧", "⌘"}));
    // Bits outside the four (Caps Lock 0x400, right-hand variants) show nothing.
    EXPECT_TRUE((Hotkey{0, 0x400 | 0x4000}.modifierSymbols()).isEmpty());
}

TEST(Hotkey, ModifiersFromQtFlagsAndToThePlatform)
{
    EXPECT_EQ(Hotkey::carbonModifiers(Qt::ControlModifier | Qt::AltModifier), 0x1800u);
    EXPECT_EQ(Hotkey::carbonModifiers(Qt::MetaModifier | Qt::ShiftModifier | Qt::KeypadModifier), 0x300u);
    EXPECT_EQ((Hotkey{0, 0x1800}.platformModifiers()), platform::ModifierControl | platform::ModifierAlt);
    EXPECT_EQ((Hotkey{0, 0x100}.platformModifiers()), unsigned{platform::ModifierSuper});
}

TEST(Hotkey, ShortcutFromRecordedKeyPress)
{
    constexpr std::uint32_t kA = 38, kF5 = 71, kSpace = 65;
    EXPECT_FALSE(Hotkey::fromKeyEvent(kA, Qt::NoModifier));
    EXPECT_FALSE(Hotkey::fromKeyEvent(kA, Qt::ShiftModifier)) << "Shift-A is no shortcut";
    EXPECT_EQ(Hotkey::fromKeyEvent(kF5, Qt::NoModifier), (Hotkey{96, 0}));
    EXPECT_EQ(Hotkey::fromKeyEvent(kF5, Qt::MetaModifier), (Hotkey{96, 0x100}));
    EXPECT_EQ(Hotkey::fromKeyEvent(kSpace, Qt::ControlModifier | Qt::AltModifier), (Hotkey{49, 0x1800}));
    // A key with no virtual key code of its own is kept by its X key code.
    constexpr std::uint32_t kMenuKey = 135;
    EXPECT_EQ(Hotkey::fromKeyEvent(kMenuKey, Qt::ControlModifier),
              (Hotkey{platform::KeyCodes::kPlainKeyCodeBase + kMenuKey, 0x1000}));
}

TEST(Hotkey, AModifierKeyPressedOnItsOwnIsNoShortcut)
{
    // X11 reports the press of Control itself as a key press carrying Control; the user is
    // only beginning a shortcut.
    constexpr std::uint32_t kControlL = 37, kAltL = 64, kShiftL = 50, kSuperL = 133, kAltR = 108, kCapsLock = 66;
    EXPECT_FALSE(Hotkey::fromKeyEvent(kControlL, Qt::ControlModifier));
    EXPECT_FALSE(Hotkey::fromKeyEvent(kAltL, Qt::ControlModifier | Qt::AltModifier));
    EXPECT_FALSE(Hotkey::fromKeyEvent(kShiftL, Qt::ControlModifier | Qt::ShiftModifier));
    EXPECT_FALSE(Hotkey::fromKeyEvent(kSuperL, Qt::MetaModifier));
    EXPECT_FALSE(Hotkey::fromKeyEvent(kAltR, Qt::ControlModifier | Qt::AltModifier));
    EXPECT_FALSE(Hotkey::fromKeyEvent(kCapsLock, Qt::ControlModifier));

    // The recorder's own events: a modifier key that has no virtual key code of its own
    // (AltGr on the third level) is told by its Qt key.
    const QKeyEvent altGr(QEvent::KeyPress, Qt::Key_AltGr, Qt::ControlModifier, 92, 0xfe03, 0);
    EXPECT_FALSE(Hotkey::fromKeyEvent(altGr));
    const QKeyEvent controlAltW(QEvent::KeyPress, Qt::Key_W, Qt::ControlModifier | Qt::AltModifier, 25, 0x77, 0);
    EXPECT_EQ(Hotkey::fromKeyEvent(controlAltW), (Hotkey{13, 0x1800}));
}

TEST(Hotkey, KeyCodeTableRoundTrips)
{
    for (std::uint32_t code = 0; code < 128; ++code) {
        const auto x11 = platform::KeyCodes::x11KeyCode(code);
        if (!x11) continue;
        EXPECT_EQ(platform::KeyCodes::virtualKeyCode(*x11), code) << code;
    }
    EXPECT_EQ(platform::KeyCodes::x11KeyCode(49), std::uint8_t{65});
    EXPECT_EQ(platform::KeyCodes::x11KeyCode(13), std::uint8_t{25});
    EXPECT_EQ(platform::KeyCodes::x11KeyCode(53), std::uint8_t{9});
    EXPECT_FALSE(platform::KeyCodes::x11KeyCode(0x10000 + 300));
}

// Switches the X server's layout for one test and puts the previous one back.
class KeyNames : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString query = QString::fromUtf8(runTool("setxkbmap", {"-query"}));
        ASSERT_FALSE(query.isEmpty()) << "setxkbmap is missing";
        for (const QString& line : query.split('\n')) {
            const auto parts = line.split(':');
            if (parts.size() != 2) continue;
            const QString key = parts[0].trimmed(), value = parts[1].trimmed();
            if (key == "rules") saved << "-rules" << value;
            else if (key == "model") saved << "-model" << value;
            else if (key == "layout") saved << "-layout" << value;
            else if (key == "variant") saved << "-variant" << value;
        }
    }

    void TearDown() override
    {
        if (!saved.isEmpty()) runTool("setxkbmap", saved);
    }

    static void useLayout(const QString& layout)
    {
        runTool("setxkbmap", {"-layout", layout});
        ASSERT_TRUE(QString::fromUtf8(runTool("setxkbmap", {"-query"})).contains(QRegularExpression("layout:\\s+" + layout)));
    }

    QStringList saved;
};

TEST_F(KeyNames, FollowTheCurrentLayoutWithTheFixedNamesFirst)
{
    useLayout("us");
    EXPECT_EQ((Hotkey{6, 0}.keyName()), "Z");
    EXPECT_EQ((Hotkey{16, 0}.keyName()), "Y");
    EXPECT_EQ((Hotkey{13, 0x1800}.keyName()), "W");
    EXPECT_EQ((Hotkey{41, 0}.keyName()), ";");
    EXPECT_EQ((Hotkey{18, 0}.keyName()), "1");
    EXPECT_EQ((Hotkey{49, 0x1800}.keyName()), "Leertaste");
    EXPECT_EQ((Hotkey{36, 0}.keyName()), "↩");
    EXPECT_EQ((Hotkey{121, 0}.keyName()), "⇟");
    EXPECT_EQ((Hotkey{122, 0}.keyName()), "F1");
    EXPECT_EQ((Hotkey{80, 0}.keyName()), "F19");
    EXPECT_EQ((Hotkey{53, 0}.keyName()), "Taste 53") << "Escape types nothing printable";
    EXPECT_EQ((Hotkey{999, 0}.keyName()), "Taste 999");

    useLayout("de");
    EXPECT_EQ((Hotkey{6, 0}.keyName()), "Y");
    EXPECT_EQ((Hotkey{16, 0}.keyName()), "Z");
    EXPECT_EQ((Hotkey{13, 0x1800}.keyName()), "W");
    EXPECT_EQ((Hotkey{41, 0}.keyName()), "Ö");
    EXPECT_EQ((Hotkey{39, 0}.keyName()), "Ä");
    EXPECT_EQ((Hotkey{27, 0}.keyName()), "SS") << "ß upper-cased";
    EXPECT_EQ((Hotkey{50, 0}.keyName()), "Taste 50") << "a dead key types nothing by itself";
    EXPECT_EQ((Hotkey{49, 0}.keyName()), "Leertaste");
}

}  // namespace

#include "KorvuDarivir/Store/Hotkey.h"
#include "Platform/Input/KeyCodes.h"

#include "X11TestSupport.h"

#include <QKeyEvent>
#include <QRegularExpression>

#include <gtest/gtest.h>

using korvu::Hotkey;
using x11test::runTool;

namespace {

// X11 reports the press of a modifier key as a key press carrying that modifier: the user
// is only beginning a shortcut. A printable key needs a modifier besides Shift.
TEST(Hotkey, RecordedKeyPressBecomesAShortcutOnlyWhenItIsOne)
{
    struct Case { std::uint32_t x11; Qt::KeyboardModifiers modifiers; std::optional<Hotkey> wanted; };
    constexpr std::uint32_t kMenuKey = 135;  // no virtual key code: kept by its X key code
    const Case cases[] = {
        {38, Qt::NoModifier, std::nullopt}, {38, Qt::ShiftModifier, std::nullopt},  // A, Shift+A
        {71, Qt::MetaModifier, Hotkey{96, 0x100}}, {65, Qt::ControlModifier | Qt::AltModifier, Hotkey{49, 0x1800}},
        {kMenuKey, Qt::ControlModifier, Hotkey{platform::KeyCodes::kPlainKeyCodeBase + kMenuKey, 0x1000}},
        // Control_L, Alt_L, Shift_L, Super_L, Alt_R, Caps Lock
        {37, Qt::ControlModifier, std::nullopt}, {64, Qt::ControlModifier | Qt::AltModifier, std::nullopt},
        {50, Qt::ControlModifier | Qt::ShiftModifier, std::nullopt}, {133, Qt::MetaModifier, std::nullopt},
        {108, Qt::ControlModifier | Qt::AltModifier, std::nullopt}, {66, Qt::ControlModifier, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(Hotkey::fromKeyEvent(c.x11, c.modifiers), c.wanted) << c.x11;
    // AltGr has no virtual key code of its own and is told by its Qt key.
    EXPECT_FALSE(Hotkey::fromKeyEvent(QKeyEvent(QEvent::KeyPress, Qt::Key_AltGr, Qt::ControlModifier, 92, 0xfe03, 0)));
    EXPECT_EQ(Hotkey::fromKeyEvent(QKeyEvent(QEvent::KeyPress, Qt::Key_W, Qt::ControlModifier | Qt::AltModifier, 25, 0x77, 0)),
              (Hotkey{13, 0x1800}));
    EXPECT_EQ((Hotkey{96, 0x100}.platformModifiers()), unsigned{platform::ModifierSuper});
    EXPECT_EQ((Hotkey{0, 0x1B00 | 0x4400}.modifierSymbols()), (QStringList{"⌃", "⌥", "⇧", "⌘"})) << "in this order only";
    for (std::uint32_t code = 0; code < 128; ++code) {
        const auto x11 = platform::KeyCodes::x11KeyCode(code);
        EXPECT_TRUE(!x11 || platform::KeyCodes::virtualKeyCode(*x11) == code) << code;
    }
}

// What every field, tooltip, menu and hint shows for a shortcut: the key caps a PC keyboard
// has, in one order whatever the bits, and the key's name (W is W on the German and the US
// layout alike).
TEST(Hotkey, DisplayTextNamesTheKeyCapsInOneOrder)
{
    struct Case { Hotkey hotkey; const char* text; };
    const Case cases[] = {
        {{49, 0x1800}, "Strg+Alt+Leertaste"},
        {{13, 0x1800}, "Strg+Alt+W"},
        {{13, 0x0100 | 0x0200 | 0x0800 | 0x1000}, "Strg+Alt+Umschalt+Super+W"},
        {{13, 0x0300}, "Umschalt+Super+W"},
        {{49, 0x0800 | 0x4400}, "Alt+Leertaste"},  // bits that are no modifier of ours
        {{96, 0}, "F5"},
        {{111, 0x0100}, "Super+F12"},
        {{80, 0x1200}, "Strg+Umschalt+F19"},
        {{36, 0x1000}, "Strg+↩"},
        {{999, 0x1000}, "Strg+Taste 999"},
        {{53, 0x0800}, "Alt+Taste 53"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.hotkey.displayText(), QString::fromUtf8(c.text)) << c.text;
}

// Switches the X server's layout and puts the previous one back.
TEST(Hotkey, KeyNamesFollowTheCurrentLayoutWithTheFixedNamesFirst)
{
    QStringList saved;
    for (const QString& line : QString::fromUtf8(runTool("setxkbmap", {"-query"})).split('\n')) {
        const auto parts = line.split(':');
        if (parts.size() == 2 && QStringList{"rules", "model", "layout", "variant"}.contains(parts[0].trimmed())) {
            saved << "-" + parts[0].trimmed() << parts[1].trimmed();
        }
    }
    ASSERT_FALSE(saved.isEmpty()) << "setxkbmap is missing";
    const struct Restore {
        QStringList saved;
        ~Restore() { runTool("setxkbmap", saved); }
    } restore{saved};
    struct Case { const char* layout; std::uint32_t code; const char* name; };
    const Case cases[] = {
        {"us", 6, "Z"}, {"us", 16, "Y"}, {"us", 41, ";"}, {"us", 18, "1"}, {"us", 49, "Leertaste"}, {"us", 36, "↩"},
        {"us", 121, "⇟"}, {"us", 122, "F1"}, {"us", 80, "F19"}, {"us", 999, "Taste 999"},
        {"us", 53, "Taste 53"},  // Escape types nothing printable
        {"de", 6, "Y"}, {"de", 16, "Z"}, {"de", 13, "W"}, {"de", 41, "Ö"}, {"de", 39, "Ä"}, {"de", 49, "Leertaste"},
        {"de", 27, "SS"},        // ß upper-cased
        {"de", 50, "Taste 50"},  // a dead key types nothing by itself
    };
    QString layout;
    for (const Case& c : cases) {
        if (layout != c.layout) {
            layout = c.layout;
            runTool("setxkbmap", {"-layout", layout});
            ASSERT_TRUE(QString::fromUtf8(runTool("setxkbmap", {"-query"})).contains(QRegularExpression("layout:\\s+" + layout)));
        }
        EXPECT_EQ((Hotkey{c.code, 0x1800}.keyName()), c.name) << c.layout << " " << c.code;
    }
}

}  // namespace

#include "KorvuDarivir/Dictation/HotkeyCenter.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Input/SyntheticKeys.h"

#include "X11TestSupport.h"

#include <X11/keysym.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace x11test;
using korvu::Hotkey;
using korvu::HotkeyCenter;

namespace {

constexpr Hotkey kDictation{49, Hotkey::controlKey | Hotkey::optionKey};  // Ctrl+Alt+Space
constexpr Hotkey kAddWord{13, Hotkey::controlKey | Hotkey::optionKey};    // Ctrl+Alt+W
using Events = std::vector<std::string>;

// Every test runs in a process of its own, so the shared centre starts empty. A key that
// must do nothing is typed before one that must: X delivers in order, so a stray event
// shows up ahead of the expected ones.
class HotkeyCenterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(keys.connected());
        center.onPressed = [this] { events.push_back("pressed"); };
        center.onReleased = [this] { events.push_back("released"); };
        center.onEscape = [this] { events.push_back("escape"); };
        center.onAddWord = [this] { events.push_back("addWord"); };
        korvu::Settings::registerDefaults();  // Ctrl+Alt+Space and Ctrl+Alt+W
        center.install();
    }
    void TearDown() override { keys.releaseAll(); }

    void expectEvents(const Events& wanted)
    {
        ASSERT_TRUE(spinUntil([&] { return events.size() >= wanted.size(); }, 30s)) << "only " << events.size();
        EXPECT_EQ(events, wanted);
        events.clear();
    }

    HotkeyCenter& center = HotkeyCenter::shared();
    KeyboardDriver keys;
    Events events;
};

TEST_F(HotkeyCenterTest, HeldShortcutIsOnePressAndOneReleaseAndNoChordLosesEither)
{
    keys.press(kControlL);
    keys.press(kAltL);
    keys.press(kSpace);
    ASSERT_TRUE(spinUntil([&] { return !events.empty(); }));
    spinFor(1500ms);  // past the server's auto-repeat delay: the repeats must not count
    expectEvents({"pressed"});
    // Control and Alt go first: the release carries no modifiers.
    keys.release(kControlL);
    keys.release(kAltL);
    keys.release(kSpace);
    expectEvents({"released"});

    // A synthetic chord (the word capture's Ctrl+C) while the shortcut is held ends our
    // grab, so the release goes to another program: it must still be reported, and the
    // next press must not be taken for a repeat of the old one.
    keys.press(kControlL);
    keys.press(kAltL);
    keys.press(kSpace);
    ASSERT_TRUE(spinUntil([&] { return !events.empty(); }));
    ASSERT_TRUE(platform::SyntheticKeys::controlChord(XK_c, 54));
    keys.release(kSpace);
    expectEvents({"pressed", "released"});
    keys.tap({kControlL, kAltL, kSpace});
    expectEvents({"pressed", "released"});
}

TEST_F(HotkeyCenterTest, OnlyItsOwnModifiersCountLockKeysDoNotAndASecondInstallChangesNothing)
{
    korvu::Settings::setHotkey({7, Hotkey::controlKey | Hotkey::optionKey});  // Ctrl+Alt+X
    center.install();
    keys.tap({kControlL, kX});
    keys.tap({kControlL, kAltL, kX});
    keys.tap({kControlL, kSpace});
    keys.tap({kNumLock});  // Mod2 in the state must not hide the shortcut
    keys.tap({kControlL, kAltL, kSpace});
    keys.tap({kNumLock});
    expectEvents({"pressed", "released"});
}

TEST_F(HotkeyCenterTest, EscapeIsOursOnlyWhileEnabledAndCallbacksMayRegisterShortcuts)
{
    // The controller claims Escape from within the press callback, and gives it back.
    center.onPressed = [&] {
        events.push_back("pressed");
        center.setEscapeEnabled(true);
        center.setEscapeEnabled(true);
    };
    center.onEscape = [&] {
        events.push_back("escape");
        center.setEscapeEnabled(false);
        center.setEscapeEnabled(false);
    };
    keys.tap({kEscape});  // the focused application's while not recording
    keys.tap({kControlL, kAltL, kW});
    expectEvents({"addWord"});  // on press only
    keys.tap({kControlL, kAltL, kSpace});
    expectEvents({"pressed", "released"});
    EXPECT_TRUE(center.isRegistered(HotkeyCenter::escape));
    keys.tap({kEscape});
    expectEvents({"escape"});

    EXPECT_FALSE(center.isRegistered(HotkeyCenter::escape));
    EXPECT_TRUE(keys.grab(kEscape, 0)) << "Escape was not ungrabbed for real";
    keys.ungrab(kEscape, 0);
    keys.tap({kEscape});
    keys.tap({kControlL, kAltL, kW});
    expectEvents({"addWord"});
}

TEST_F(HotkeyCenterTest, ShortcutHeldByAnotherProgramIsReportedAndTheRestKeepsWorking)
{
    ASSERT_TRUE(keys.grab(kX, kControlMask | kAltMask));
    const Hotkey taken{7, Hotkey::controlKey | Hotkey::optionKey};
    EXPECT_EQ(center.registerShortcut(HotkeyCenter::addWord, taken), HotkeyCenter::Registration::inUse);
    EXPECT_FALSE(center.isRegistered(HotkeyCenter::addWord));
    EXPECT_EQ(center.registration(HotkeyCenter::addWord), HotkeyCenter::Registration::inUse);
    keys.ungrab(kX, kControlMask | kAltMask);
    // Our own two slots on one combination: the first keeps it.
    EXPECT_EQ(center.registerShortcut(HotkeyCenter::addWord, kDictation), HotkeyCenter::Registration::inUse);
    EXPECT_EQ(center.registerShortcut(HotkeyCenter::addWord, Hotkey{0xFFFF, Hotkey::controlKey}),
              HotkeyCenter::Registration::unavailable);

    keys.tap({kControlL, kAltL, kSpace});
    expectEvents({"pressed", "released"});
    EXPECT_EQ(center.registerShortcut(HotkeyCenter::addWord, kAddWord), HotkeyCenter::Registration::registered);
    keys.tap({kControlL, kAltL, kW});
    expectEvents({"addWord"});
}

}  // namespace

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

// Every test runs in a process of its own, so the shared centre starts empty here.
class HotkeyCenterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(driver.connected());
        auto& center = HotkeyCenter::shared();
        center.onPressed = [this] { events.push_back("pressed"); };
        center.onReleased = [this] { events.push_back("released"); };
        center.onEscape = [this] { events.push_back("escape"); };
        center.onAddWord = [this] { events.push_back("addWord"); };
        // The registered defaults are Ctrl+Alt+Space and Ctrl+Alt+W.
        korvu::Settings::registerDefaults();
        center.install();
        ASSERT_TRUE(center.isRegistered(HotkeyCenter::dictation));
        ASSERT_TRUE(center.isRegistered(HotkeyCenter::addWord));
    }

    void TearDown() override
    {
        for (std::uint8_t key : {kSpace, kW, kEscape, kAltL, kControlL, kShiftL}) {
            if (driver.isDown(key)) driver.release(key);
        }
    }

    void tap(std::vector<std::uint8_t> modifiers, std::uint8_t key)
    {
        for (auto m : modifiers) driver.press(m);
        driver.press(key);
        driver.release(key);
        for (auto it = modifiers.rbegin(); it != modifiers.rend(); ++it) driver.release(*it);
    }

    KeyboardDriver driver;
    std::vector<std::string> events;
};

TEST_F(HotkeyCenterTest, HeldShortcutGivesOnePressAndOneReleaseEvenWhenModifiersGoFirst)
{
    driver.press(kControlL);
    driver.press(kAltL);
    driver.press(kSpace);
    ASSERT_TRUE(spinUntil([&] { return !events.empty(); }));
    // Held well past the server's auto-repeat delay: the repeats must not count.
    spinFor(1500ms);
    EXPECT_EQ(events, (std::vector<std::string>{"pressed"}));

    // The user lets go of Control and Alt before Space: the release carries no modifiers.
    driver.release(kControlL);
    driver.release(kAltL);
    spinFor(200ms);
    EXPECT_EQ(events, (std::vector<std::string>{"pressed"}));
    driver.release(kSpace);
    ASSERT_TRUE(spinUntil([&] { return events.size() >= 2; }));
    spinFor(200ms);
    EXPECT_EQ(events, (std::vector<std::string>{"pressed", "released"}));

    // A second press works the same way.
    tap({kControlL, kAltL}, kSpace);
    ASSERT_TRUE(spinUntil([&] { return events.size() >= 4; }));
    EXPECT_EQ(events, (std::vector<std::string>{"pressed", "released", "pressed", "released"}));
}

// A synthetic chord (the word capture's Ctrl+C) while the shortcut is still held ends our
// keyboard grab, so the key's release goes to another program. The release must still be
// reported, and the next press must not be taken for an auto-repeat of the old one.
TEST_F(HotkeyCenterTest, AChordWhileTheShortcutIsHeldLosesNeitherTheReleaseNorTheNextPress)
{
    driver.press(kControlL);
    driver.press(kAltL);
    driver.press(kSpace);
    ASSERT_TRUE(spinUntil([&] { return !events.empty(); }));
    ASSERT_TRUE(platform::SyntheticKeys::controlChord(XK_c, 54));
    spinFor(100ms);
    driver.release(kSpace);
    ASSERT_TRUE(spinUntil([&] { return events.size() >= 2; }, 3s)) << "the release was lost";

    tap({kControlL, kAltL}, kSpace);
    ASSERT_TRUE(spinUntil([&] { return events.size() >= 4; }, 3s)) << "the next press was swallowed";
    spinFor(200ms);
    EXPECT_EQ(events, (std::vector<std::string>{"pressed", "released", "pressed", "released"}));
}

TEST_F(HotkeyCenterTest, ShortcutWorksWithLockKeysAndOnlyWithItsOwnModifiers)
{
    // Space with Control alone is not our shortcut.
    tap({kControlL}, kSpace);
    spinFor(300ms);
    EXPECT_TRUE(events.empty());

    // Num Lock on (Mod2 in the state) must not hide the shortcut.
    constexpr std::uint8_t kNumLock = 77;
    driver.press(kNumLock);
    driver.release(kNumLock);
    tap({kControlL, kAltL}, kSpace);
    ASSERT_TRUE(spinUntil([&] { return events.size() >= 2; }));
    driver.press(kNumLock);
    driver.release(kNumLock);
    EXPECT_EQ(events, (std::vector<std::string>{"pressed", "released"}));
}

TEST_F(HotkeyCenterTest, AddWordFiresOnPressOnlyAndEscapeOnlyWhileEnabled)
{
    tap({kControlL, kAltL}, kW);
    ASSERT_TRUE(spinUntil([&] { return !events.empty(); }));
    spinFor(300ms);
    EXPECT_EQ(events, (std::vector<std::string>{"addWord"}));
    events.clear();

    auto& center = HotkeyCenter::shared();
    tap({}, kEscape);
    spinFor(300ms);
    EXPECT_TRUE(events.empty()) << "Escape belongs to the focused application while not recording";

    center.setEscapeEnabled(true);
    center.setEscapeEnabled(true);
    EXPECT_TRUE(center.isRegistered(HotkeyCenter::escape));
    tap({}, kEscape);
    ASSERT_TRUE(spinUntil([&] { return !events.empty(); }));
    spinFor(300ms);
    EXPECT_EQ(events, (std::vector<std::string>{"escape"}));

    center.setEscapeEnabled(false);
    EXPECT_FALSE(center.isRegistered(HotkeyCenter::escape));
    center.setEscapeEnabled(false);
    // Ungrabbed for real: another client can now take Escape.
    EXPECT_TRUE(driver.grab(kEscape, 0));
    driver.ungrab(kEscape, 0);
    events.clear();
    tap({}, kEscape);
    spinFor(300ms);
    EXPECT_TRUE(events.empty());
}

TEST_F(HotkeyCenterTest, CallbacksRunOutsideTheEventFilterAndMayRegisterShortcuts)
{
    auto& center = HotkeyCenter::shared();
    // The controller claims Escape from within the press callback.
    center.onPressed = [&] {
        events.push_back("pressed");
        center.setEscapeEnabled(true);
    };
    center.onEscape = [&] {
        events.push_back("escape");
        center.setEscapeEnabled(false);
    };
    driver.press(kControlL);
    driver.press(kAltL);
    driver.press(kSpace);
    ASSERT_TRUE(spinUntil([&] { return center.isRegistered(HotkeyCenter::escape); }));
    driver.release(kSpace);
    driver.release(kAltL);
    driver.release(kControlL);
    ASSERT_TRUE(spinUntil([&] { return events.size() >= 2; }));
    tap({}, kEscape);
    ASSERT_TRUE(spinUntil([&] { return events.size() >= 3; }));
    EXPECT_EQ(events, (std::vector<std::string>{"pressed", "released", "escape"}));
    EXPECT_FALSE(center.isRegistered(HotkeyCenter::escape));
}

TEST_F(HotkeyCenterTest, SecondInstallChangesNothing)
{
    auto& center = HotkeyCenter::shared();
    korvu::Settings::setHotkey({7, Hotkey::controlKey | Hotkey::optionKey});
    korvu::Settings::setWordHotkey({8, Hotkey::controlKey});
    center.install();
    center.install(Hotkey{7, Hotkey::controlKey | Hotkey::optionKey}, Hotkey{8, Hotkey::controlKey});
    EXPECT_EQ(center.registration(HotkeyCenter::dictation), HotkeyCenter::Registration::registered);
    tap({kControlL, kAltL}, kX);  // the would-be new shortcut
    spinFor(300ms);
    EXPECT_TRUE(events.empty());
    tap({kControlL, kAltL}, kSpace);
    ASSERT_TRUE(spinUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"pressed", "released"}));
}

TEST_F(HotkeyCenterTest, ShortcutHeldByAnotherProgramIsReportedAndTheRestKeepsWorking)
{
    auto& center = HotkeyCenter::shared();
    // Another client already holds Ctrl+Alt+X.
    ASSERT_TRUE(driver.grab(kX, kControlMask | kAltMask));
    const Hotkey taken{7, Hotkey::controlKey | Hotkey::optionKey};
    EXPECT_EQ(center.registerShortcut(HotkeyCenter::addWord, taken), HotkeyCenter::Registration::inUse);
    EXPECT_FALSE(center.isRegistered(HotkeyCenter::addWord));
    EXPECT_EQ(center.registration(HotkeyCenter::addWord), HotkeyCenter::Registration::inUse);
    driver.ungrab(kX, kControlMask | kAltMask);

    // Our own two slots on one combination: the first keeps it.
    EXPECT_EQ(center.registerShortcut(HotkeyCenter::addWord, kDictation), HotkeyCenter::Registration::inUse);
    EXPECT_TRUE(center.isRegistered(HotkeyCenter::dictation));

    // A key code that no key has.
    EXPECT_EQ(center.registerShortcut(HotkeyCenter::addWord, Hotkey{0xFFFF, Hotkey::controlKey}),
              HotkeyCenter::Registration::unavailable);

    // The process lives on and the dictation shortcut still works.
    tap({kControlL, kAltL}, kSpace);
    ASSERT_TRUE(spinUntil([&] { return events.size() >= 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"pressed", "released"}));

    // The recorder puts the add-word slot back.
    EXPECT_EQ(center.registerShortcut(HotkeyCenter::addWord, kAddWord), HotkeyCenter::Registration::registered);
    events.clear();
    tap({kControlL, kAltL}, kW);
    ASSERT_TRUE(spinUntil([&] { return !events.empty(); }));
    EXPECT_EQ(events, (std::vector<std::string>{"addWord"}));
}

}  // namespace

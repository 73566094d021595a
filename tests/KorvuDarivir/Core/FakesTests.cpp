// The fakes stand in for the desktop in the dictation's tests, so they must keep the
// promise of their interfaces that callers rely on: completions come later, on the main
// thread, never within the call, and not at all to a receiver that is gone.
#include "fakes/FakeClipboard.h"
#include "fakes/FakeHotkeys.h"
#include "fakes/FakeInserter.h"
#include "fakes/FakeKeyStore.h"
#include "fakes/FakeRecorder.h"
#include "fakes/FakeSyntheticKeyboard.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

using testsupport::spinUntil;

TEST(Fakes, CompleteLaterAndOnlyToLiveReceivers)
{
    QObject receiver;
    fakes::FakeRecorder recorder;
    recorder.holdStarts = true;
    std::vector<std::string> events;
    recorder.start(std::string("mic"), &receiver, [&](std::exception_ptr error) {
        events.push_back(error ? "start failed" : "started");
    });
    recorder.samples = {0.5f, 0.25f};
    recorder.stop(&receiver, [&](std::vector<float> samples) { events.push_back("stopped " + std::to_string(samples.size())); });
    EXPECT_TRUE(events.empty());
    recorder.finishStart();
    EXPECT_TRUE(events.empty()) << "a completion ran within the call";
    ASSERT_TRUE(spinUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"started", "stopped 2"})) << "a stop waits for the start before it";

    fakes::FakeKeyStore keys;
    keys.values[korvu::Keychain::Account::anthropicAPIKey] = QStringLiteral("sk-old");
    keys.failWrites = true;
    std::optional<korvu::KeyReading> reading;
    bool late = false;
    {
        QObject gone;
        keys.read(korvu::Keychain::Account::anthropicAPIKey, &gone, [&](korvu::KeyReading) { late = true; });
    }
    keys.write(QStringLiteral("sk-new"), korvu::Keychain::Account::anthropicAPIKey, &receiver, [&](bool stored) {
        EXPECT_FALSE(stored);
        keys.read(korvu::Keychain::Account::anthropicAPIKey, &receiver, [&](korvu::KeyReading r) { reading = r; });
    });
    ASSERT_TRUE(spinUntil([&] { return reading.has_value(); }));
    EXPECT_EQ(*reading, (korvu::KeyReading{korvu::KeyStatus::found, QStringLiteral("sk-old")}));
    EXPECT_FALSE(late);

    fakes::FakeInserter inserter;
    bool inserted = false;
    inserter.insert(QStringLiteral("Hallo"), 42, [&] { inserted = true; });
    EXPECT_FALSE(inserted);
    ASSERT_TRUE(spinUntil([&] { return inserted; }));
    EXPECT_EQ(inserter.insertions.front(), (fakes::FakeInserter::Insertion{QStringLiteral("Hallo"), 42}));
}

TEST(Fakes, ClipboardKeysAndHotkeysActLikeTheDesktop)
{
    fakes::FakeClipboard clipboard;
    clipboard.writeByOtherProgram(QStringLiteral("user's copy"));
    const auto before = clipboard.snapshot(std::chrono::milliseconds(100));
    const auto token = clipboard.write(QStringLiteral("dictated"), QStringLiteral("marker"));
    EXPECT_TRUE(clipboard.isUnchanged(token));
    EXPECT_FALSE(clipboard.wasRead(token));
    clipboard.fetch();
    EXPECT_TRUE(clipboard.wasRead(token));
    clipboard.restore(before);
    EXPECT_EQ(clipboard.text(), QStringLiteral("user's copy"));
    EXPECT_FALSE(clipboard.isUnchanged(token));

    fakes::FakeSyntheticKeyboard keyboard;
    keyboard.onChord = [&](std::uint32_t) { clipboard.writeByOtherProgram(QStringLiteral("selection")); };
    const auto generation = clipboard.generation();
    EXPECT_TRUE(keyboard.controlChord('c', 54));
    EXPECT_EQ(clipboard.generation(), generation + 1);

    fakes::FakeHotkeys hotkeys;
    int escapes = 0;
    hotkeys.onEscape = [&] { ++escapes; };
    hotkeys.escape();
    hotkeys.setEscapeEnabled(true);
    hotkeys.escape();
    EXPECT_EQ(escapes, 1) << "Escape reaches the dictation only while claimed";
}

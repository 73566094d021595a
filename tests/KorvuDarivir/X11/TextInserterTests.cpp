#include "KorvuDarivir/Dictation/TextInserter.h"
#include "Platform/Input/ActiveWindow.h"

#include "X11TestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMimeData>

#include <gtest/gtest.h>

using korvu::TextInserter;
using namespace x11test;

namespace {

QByteArray clipboardFromOutside(const QString& target = "UTF8_STRING")
{
    return runTool("xclip", {"-o", "-selection", "clipboard", "-t", target});
}

class TextInserterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(target.start()) << "the target application did not come up";
        ASSERT_TRUE(spinUntil([&] { return platform::ActiveWindow::frontmostPid() == target.pid(); }));
    }
    void TearDown() override { keys.releaseAll(); }

    // Starts an insertion; `done` turns true once the inserter is done with the clipboard.
    void insert(const QString& text, std::optional<std::int64_t> pid, TextInserter::Timing timing = {})
    {
        TextInserter::insert(text, pid, [this] { ++done; }, timing);
    }
    void insertAndWait(const QString& text, std::optional<std::int64_t> pid, TextInserter::Timing timing = {})
    {
        const int before = done;
        insert(text, pid, timing);
        ASSERT_TRUE(spinUntil([&] { return done > before; }));
    }

    // The user's previous copy, owned by another program.
    void copyElsewhere(const QString& text) { ASSERT_TRUE(target.call("own-clipboard", text)); }

    TargetApp target;
    KeyboardDriver keys;
    int done = 0;
};

TEST_F(TextInserterTest, DictationLandsAndEveryFormatOfThePreviousClipboardComesBack)
{
    const auto owned = target.call("own-clipboard", QStringLiteral("Bild von der Reise"));
    ASSERT_TRUE(owned);
    const QByteArray png = QByteArray::fromBase64(owned->value(0));
    ASSERT_EQ(clipboardFromOutside("image/png"), png);

    const QString text = QStringLiteral("Grüße aus Köln: Äpfel, Öl und Übermaß – ß");
    insertAndWait(text, target.pid());
    EXPECT_EQ(target.text(), text);
    EXPECT_EQ(clipboardFromOutside("image/png"), png);
    EXPECT_EQ(clipboardFromOutside("text/uri-list"), "file:///tmp/reise.png\r\n");
    EXPECT_EQ(clipboardFromOutside(), "Bild von der Reise");
    EXPECT_FALSE(clipboardFromOutside("TARGETS").contains(TextInserter::transientType));
}

// The paste chord goes out only once the dictation is on the clipboard with its marker: a
// target handles the keys at once and would paste whatever the clipboard held before.
// With an empty clipboard and with another program's contents before.
TEST_F(TextInserterTest, ThePasteKeysGoOutWithTheDictationAlreadyOnTheClipboard)
{
    for (const bool previous : {false, true}) {
        SCOPED_TRACE(previous ? "another program's copy before" : "empty clipboard before");
        if (previous) copyElsewhere("OLD CLIP");
        const QString text = previous ? QStringLiteral("Zweites Diktat") : QStringLiteral("Erstes Diktat");
        QStringList atKeys;  // the clipboard's text and formats when the keys were typed
        const int before = done;
        TextInserter::insert(text, target.pid(), {}, [this] { ++done; }, {0ms, 50ms, 0ms}, [&atKeys] {
            const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
            atKeys << (data ? data->text() : QStringLiteral("(leer)"));
            if (data) atKeys << data->formats().filter(TextInserter::transientType);
        });
        ASSERT_TRUE(spinUntil([&] { return done > before; }));
        EXPECT_EQ(atKeys, (QStringList{text, TextInserter::transientType}));
        if (previous) {
            EXPECT_EQ(clipboardFromOutside(), "OLD CLIP") << "the user's copy comes back";
        }
    }
}

// Clipboard-history tools leave the dictation out by its marker; a copy the user makes
// during the wait is theirs and stays.
TEST_F(TextInserterTest, TheDictationIsMarkedTransientAndAForeignWriteDuringTheWaitIsKept)
{
    copyElsewhere("OLD CLIP");
    insert(QStringLiteral("Diktat"), target.pid(), {250ms, 5000ms});
    ASSERT_TRUE(spinUntil([&] { return target.text() == "Diktat"; }));
    EXPECT_TRUE(clipboardFromOutside("TARGETS").contains(TextInserter::transientType));
    EXPECT_TRUE(clipboardFromOutside(TextInserter::transientType).isEmpty());
    EXPECT_EQ(clipboardFromOutside(), "Diktat");
    ASSERT_EQ(done, 0);
    copyElsewhere("NEU KOPIERT");
    ASSERT_TRUE(spinUntil([&] { return done == 1; }));
    EXPECT_EQ(clipboardFromOutside(), "NEU KOPIERT");
}

TEST_F(TextInserterTest, ABusyTargetOrAClipboardManagerCostsNeitherTheDictationNorTheUsersClipboard)
{
    // The target handles the keystroke only after the usual wait has passed; restoring
    // first would make it paste the old clipboard. (Owned here: reading it from the
    // stalled target would stall us too.)
    QGuiApplication::clipboard()->setText("OLD CLIP");
    ASSERT_TRUE(target.call("stall 1000"));
    insertAndWait(QStringLiteral("spät, aber richtig"), target.pid());
    ASSERT_TRUE(spinUntil([&] { return !target.text().isEmpty(); }));
    EXPECT_EQ(target.text(), "spät, aber richtig");
    EXPECT_EQ(clipboardFromOutside(), "OLD CLIP");

    // A clipboard manager takes our text over at once.
    ASSERT_TRUE(target.call("set", QString()));
    insert(QStringLiteral("übernommen"), target.pid(), {250ms, 4000ms, 0ms});
    ASSERT_TRUE(spinUntil([&] { return target.text() == "übernommen"; }));
    ASSERT_TRUE(target.call("adopt-clipboard"));
    ASSERT_EQ(done, 1);
    ASSERT_TRUE(spinUntil([&] { return done == 2; }));
    EXPECT_EQ(clipboardFromOutside(), "OLD CLIP");
}

// Control and Alt still down from the dictation shortcut and Shift as well would make the
// keystroke Ctrl+Alt+Shift+V, which pastes nothing; our own window has the focus; the
// second insertion starts before the first is done.
TEST_F(TextInserterTest, HeldModifiersAnotherFocusAndOverlappingInsertionsStillLandInTurn)
{
    copyElsewhere("OLD CLIP");
    QLineEdit own;
    own.setGeometry(700, 400, 300, 40);
    own.show();
    own.activateWindow();
    const auto self = static_cast<std::int64_t>(QCoreApplication::applicationPid());
    ASSERT_TRUE(spinUntil([&] { return platform::ActiveWindow::frontmostPid() == self && own.hasFocus(); }));
    keys.press(kControlL);
    keys.press(kAltL);
    keys.press(kShiftL);

    insert(QStringLiteral("erst "), target.pid());
    insert(QStringLiteral("dann"), target.pid());
    ASSERT_TRUE(spinUntil([&] { return done == 2; }));
    EXPECT_EQ(target.text(), "erst dann");
    EXPECT_TRUE(own.text().isEmpty());
    EXPECT_EQ(platform::ActiveWindow::frontmostPid(), target.pid());
    EXPECT_FALSE(keys.isDown(kAltL));
    EXPECT_EQ(clipboardFromOutside(), "OLD CLIP");
}

// A process without a window on screen, or no process at all: the frontmost application gets it.
// An empty clipboard has nothing to come back, so the dictation stays, and is then the
// clipboard the second insertion puts back.
TEST_F(TextInserterTest, WithoutAUsableTargetThePasteGoesToTheFrontmostApplication)
{
    QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
    ASSERT_TRUE(spinUntil([&] { return clipboardFromOutside().isEmpty(); }));
    insertAndWait(QStringLiteral("eins "), QCoreApplication::applicationPid());  // no window on screen
    insertAndWait(QStringLiteral("zwei"), std::nullopt);
    EXPECT_EQ(target.text(), "eins zwei");
    EXPECT_EQ(clipboardFromOutside(), "eins ");
}

}  // namespace

#include "KorvuDarivir/Dictation/TextInserter.h"
#include "Platform/Clipboard/Clipboard.h"
#include "Platform/Input/ActiveWindow.h"

#include "X11TestSupport.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>

#include <gtest/gtest.h>

using korvu::TextInserter;
using namespace x11test;

namespace {

// The application's own waits; the inserter waits longer for a target that has not
// fetched the text yet, so a slow machine does not change the outcome.
const TextInserter::Timing kTiming{};

QByteArray clipboardFromOutside(const QString& target = "UTF8_STRING")
{
    return runTool("xclip", {"-o", "-selection", "clipboard", "-t", target});
}

// A live owner of the clipboard in another process, as the user's previous copy.
class ForeignOwner {
public:
    explicit ForeignOwner(const QByteArray& text)
    {
        process.start("xclip", {"-quiet", "-selection", "clipboard", "-i"});
        process.waitForStarted(5000);
        process.write(text);
        process.closeWriteChannel();
        spinUntil([&] { return clipboardFromOutside() == text; });
    }
    ~ForeignOwner()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    QProcess process;
};

class TextInserterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(target.start()) << "the target application did not come up";
        ASSERT_TRUE(spinUntil([&] { return platform::ActiveWindow::frontmostPid() == target.pid(); }));
    }

    void TearDown() override
    {
        for (std::uint8_t key : {kAltL, kControlL, kShiftL}) {
            if (driver.isDown(key)) driver.release(key);
        }
    }

    // Inserts and waits until the inserter is done with the clipboard.
    bool insert(const QString& text, std::optional<std::int64_t> pid, TextInserter::Timing timing = kTiming)
    {
        bool done = false;
        TextInserter::insert(text, pid, [&] { done = true; }, timing);
        return spinUntil([&] { return done; }, 20s);
    }

    TargetApp target;
    KeyboardDriver driver;
};

TEST_F(TextInserterTest, DictationLandsInTheTargetAndThePreviousClipboardComesBack)
{
    ForeignOwner previous("OLD CLIP");
    const QString text = QStringLiteral("Grüße aus Köln: Äpfel, Öl und Übermaß – ß");
    ASSERT_TRUE(insert(text, target.pid()));
    EXPECT_EQ(target.text(), text);
    EXPECT_EQ(clipboardFromOutside(), "OLD CLIP");
}

TEST_F(TextInserterTest, TheTransientMarkerIsOfferedWithEmptyDataDuringThePaste)
{
    bool done = false;
    const QString text = QStringLiteral("kurz");
    TextInserter::insert(text, std::nullopt, [&] { done = true; }, TextInserter::Timing{0ms, 3000ms});
    ASSERT_TRUE(spinUntil([&] { return target.text() == text; }));
    const QByteArray targets = clipboardFromOutside("TARGETS");
    EXPECT_TRUE(targets.contains("org.nspasteboard.TransientType")) << targets.constData();
    EXPECT_TRUE(clipboardFromOutside("org.nspasteboard.TransientType").isEmpty());
    EXPECT_EQ(clipboardFromOutside(), text.toUtf8());
    ASSERT_TRUE(spinUntil([&] { return done; }, 20s));
}

TEST_F(TextInserterTest, AForeignWriteDuringTheWaitIsKept)
{
    ForeignOwner previous("OLD CLIP");
    bool done = false;
    const QString text = QStringLiteral("Diktat");
    TextInserter::insert(text, target.pid(), [&] { done = true; }, TextInserter::Timing{250ms, 5000ms});
    ASSERT_TRUE(spinUntil([&] { return target.text() == text; }));
    ASSERT_FALSE(done);
    ForeignOwner other("NEU KOPIERT");
    ASSERT_TRUE(spinUntil([&] { return done; }, 20s));
    spinFor(200ms);
    EXPECT_EQ(clipboardFromOutside(), "NEU KOPIERT");
}

TEST_F(TextInserterTest, ABusyTargetStillGetsTheDictationAndNotTheOldClipboard)
{
    ForeignOwner previous("OLD CLIP");
    // The target handles the keystroke only after the usual 0.6 s wait has passed.
    target.stall(1000ms);
    ASSERT_TRUE(insert(QStringLiteral("spät, aber richtig"), target.pid(), TextInserter::Timing{}));
    ASSERT_TRUE(spinUntil([&] { return !target.text().isEmpty(); }));
    EXPECT_EQ(target.text(), "spät, aber richtig");
    EXPECT_EQ(clipboardFromOutside(), "OLD CLIP");
}

TEST_F(TextInserterTest, AClipboardManagerThatTakesOurTextOverDoesNotCostTheUsersClipboard)
{
    ForeignOwner previous("OLD CLIP");
    bool done = false;
    TextInserter::insert(QStringLiteral("übernommen"), target.pid(), [&] { done = true; },
                         TextInserter::Timing{250ms, 4000ms, 0ms});
    ASSERT_TRUE(spinUntil([&] { return target.text() == "übernommen"; }));
    target.adoptClipboard();
    ASSERT_FALSE(done);
    ASSERT_TRUE(spinUntil([&] { return done; }, 20s));
    EXPECT_EQ(clipboardFromOutside(), "OLD CLIP");
}

TEST_F(TextInserterTest, AnEmptyClipboardKeepsTheDictatedText)
{
    QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
    ASSERT_TRUE(spinUntil([&] { return clipboardFromOutside().isEmpty(); }));
    ASSERT_TRUE(insert(QStringLiteral("bleibt da"), target.pid()));
    EXPECT_EQ(target.text(), "bleibt da");
    EXPECT_EQ(clipboardFromOutside(), "bleibt da");
}

TEST_F(TextInserterTest, EveryFormatOfThePreviousClipboardComesBack)
{
    const QByteArray png = target.ownClipboard();
    ASSERT_FALSE(png.isEmpty());
    ASSERT_EQ(clipboardFromOutside("image/png"), png);

    ASSERT_TRUE(insert(QStringLiteral("Text über dem Bild"), target.pid()));
    EXPECT_EQ(target.text(), "Text über dem Bild");
    EXPECT_EQ(clipboardFromOutside("image/png"), png);
    EXPECT_EQ(clipboardFromOutside("text/uri-list"), "file:///tmp/reise.png\r\n");
    EXPECT_EQ(clipboardFromOutside(), "Bild von der Reise");
    const QByteArray targets = clipboardFromOutside("TARGETS");
    EXPECT_FALSE(targets.contains("org.nspasteboard.TransientType")) << targets.constData();
}

TEST_F(TextInserterTest, ModifiersTheUserStillHoldsDoNotSpoilThePaste)
{
    ForeignOwner previous("OLD CLIP");
    // Control and Alt still down from the dictation shortcut, Shift pressed as well:
    // with them the keystroke would be Ctrl+Alt+Shift+V, which pastes nothing.
    driver.press(kControlL);
    driver.press(kAltL);
    driver.press(kShiftL);
    ASSERT_TRUE(insert(QStringLiteral("trotz Tasten"), target.pid()));
    EXPECT_EQ(target.text(), "trotz Tasten");
    EXPECT_FALSE(driver.isDown(kAltL));
    EXPECT_EQ(clipboardFromOutside(), "OLD CLIP");
}

TEST_F(TextInserterTest, TheTargetIsActivatedWhenAnotherWindowHasTheFocus)
{
    QLineEdit own;
    own.setGeometry(700, 400, 300, 40);
    own.show();
    own.activateWindow();
    const auto self = static_cast<std::int64_t>(QCoreApplication::applicationPid());
    ASSERT_TRUE(spinUntil([&] { return platform::ActiveWindow::frontmostPid() == self && own.hasFocus(); }));

    ASSERT_TRUE(insert(QStringLiteral("im Ziel"), target.pid()));
    EXPECT_EQ(target.text(), "im Ziel");
    EXPECT_TRUE(own.text().isEmpty());
    EXPECT_EQ(platform::ActiveWindow::frontmostPid(), target.pid());
}

TEST_F(TextInserterTest, WithoutAUsableTargetThePasteGoesToTheFrontmostApplication)
{
    // A process without a window (this test's xclip owner) and no pid at all.
    ForeignOwner previous("OLD CLIP");
    ASSERT_TRUE(insert(QStringLiteral("eins "), previous.process.processId()));
    EXPECT_EQ(target.text(), "eins ");
    ASSERT_TRUE(insert(QStringLiteral("zwei"), std::nullopt));
    EXPECT_EQ(target.text(), "eins zwei");
    EXPECT_EQ(clipboardFromOutside(), "OLD CLIP");
}

TEST_F(TextInserterTest, OverlappingInsertionsRunInTurnAndTheUsersClipboardSurvives)
{
    ForeignOwner previous("OLD CLIP");
    int done = 0;
    TextInserter::insert(QStringLiteral("erst "), target.pid(), [&] { ++done; }, kTiming);
    TextInserter::insert(QStringLiteral("dann"), target.pid(), [&] { ++done; }, kTiming);
    ASSERT_TRUE(spinUntil([&] { return done == 2; }, 30s));
    EXPECT_EQ(target.text(), "erst dann");
    EXPECT_EQ(clipboardFromOutside(), "OLD CLIP");
}

}  // namespace

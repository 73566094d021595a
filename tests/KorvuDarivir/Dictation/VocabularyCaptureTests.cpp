#include "Fakes.h"

#include "KorvuDarivir/Dictation/HotkeyCenter.h"
#include "KorvuDarivir/Dictation/VocabularyCapture.h"
#include "KorvuDarivir/Store/Settings.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Input/KeyCodes.h"
#include "Platform/UI/FakeScheduler.h"
#include "fakes/FakeClipboard.h"
#include "fakes/FakeSyntheticKeyboard.h"

#include <X11/keysym.h>

#include <gtest/gtest.h>

namespace dictationtest {
namespace {

using korvu::VocabularyCapture;

QStringList stored()
{
    return platform::UserDefaults::standard().stringArray(korvu::Settings::vocabularyKey).value_or(QStringList());
}

void store(const QStringList& terms)
{
    platform::UserDefaults::standard().set(korvu::Settings::vocabularyKey, terms);
}

Hint added(const QString& term)
{
    return {HintKind::info, QStringLiteral("Zum Wörterbuch hinzugefügt"), QStringLiteral("„") + term + QStringLiteral("“")};
}

const Hint nothingSelected{HintKind::warning, QStringLiteral("Nichts markiert"),
                           QStringLiteral("Erst das Wort markieren, dann hinzufügen.")};

QStringList numbered(int count)
{
    QStringList terms;
    for (int i = 0; i < count; ++i) {
        terms << QStringLiteral("Begriff%1").arg(i);
    }
    return terms;
}

TEST(VocabularyCapture, AddFollowsItsRulesInOrder)
{
    const QString sixty(60, u'x');
    struct Case {
        std::optional<QString> selection;
        QStringList before;
        Hint hint;
        QStringList after;
    };
    const std::vector<Case> cases = {
        {QStringLiteral("  (Hochdruck-Reiniger), "), {}, added("Hochdruck-Reiniger"), {"Hochdruck-Reiniger"}},
        {QStringLiteral("z. B."), {}, added("z. B"), {"z. B"}},
        {QStringLiteral("Dr."), {}, added("Dr."), {"Dr."}},
        {QStringLiteral("Prof."), {}, added("Prof"), {"Prof"}},
        {QStringLiteral("Anna\nLena"), {}, added("Anna Lena"), {"Anna Lena"}},
        {QStringLiteral("»„Müller“«"), {}, added("Müller"), {"Müller"}},
        {QStringLiteral(" ;: !? "), {}, nothingSelected, {}},
        {QStringLiteral("( Wort )"), {}, added("Wort"), {"Wort"}},
        {std::nullopt, {}, nothingSelected, {}},
        {sixty, {}, added(sixty), {sixty}},
        {sixty + u'y', {},
         {HintKind::warning, QStringLiteral("Zu lang fürs Wörterbuch"),
          QStringLiteral("Höchstens 60 Zeichen, am besten ein Name oder Begriff.")},
         {}},
        {QStringLiteral("Tagesordnung"), {"tagesordnung"},
         {HintKind::info, QStringLiteral("Schon im Wörterbuch"), QStringLiteral("„Tagesordnung“")}, {"tagesordnung"}},
        // The duplicate test comes before the full test.
        {QStringLiteral("begriff7"), numbered(80),
         {HintKind::info, QStringLiteral("Schon im Wörterbuch"), QStringLiteral("„begriff7“")}, numbered(80)},
        {QStringLiteral("Neu"), numbered(80),
         {HintKind::warning, QStringLiteral("Wörterbuch ist voll"),
          QStringLiteral("Höchstens 80 Begriffe. In den Einstellungen welche entfernen.")},
         numbered(80)},
        {QStringLiteral("Neu"), numbered(79), added("Neu"), numbered(79) << "Neu"},
        // Commas inside a selection do not split it.
        {QStringLiteral("Meier, Schulze"), {"Alt"}, added("Meier, Schulze"), {"Alt", "Meier, Schulze"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selection.value_or("<none>").toStdString());
        store(c.before);
        auto hints = std::make_unique<FakeHints>();
        FakeHints* shown = hints.get();
        VocabularyCapture capture(VocabularyCapture::Environment{.hints = std::move(hints)});
        EXPECT_EQ(capture.add(c.selection), c.hint);
        EXPECT_EQ(stored(), c.after);
        ASSERT_EQ(shown->shown.size(), 1u);
        EXPECT_EQ(shown->anchors.back(), std::nullopt);
    }
}

// The add-word shortcut on fakes: the accessibility service, else Ctrl+C through the
// clipboard, with the user's clipboard put back.
struct CaptureRig {
    CaptureRig()
    {
        store({});
        VocabularyCapture::Environment environment;
        environment.isTrusted = [this] { return trusted; };
        environment.accessibleSelection = [this] { return accessible; };
        environment.clipboard = &clipboard;
        environment.keyboard = &keyboard;
        environment.scheduler = &scheduler;
        auto ownHints = std::make_unique<FakeHints>();
        hints = ownHints.get();
        environment.hints = std::move(ownHints);
        capture = std::make_unique<VocabularyCapture>(std::move(environment));
    }

    // Starts a capture and advances the fake clock until it ends.
    std::optional<Hint> run(std::chrono::milliseconds limit = std::chrono::milliseconds(5000))
    {
        std::optional<Hint> outcome;
        capture->addSelection([&](const Hint& hint) { outcome = hint; });
        for (auto spent = std::chrono::milliseconds(0); !outcome && spent < limit; spent += std::chrono::milliseconds(5)) {
            scheduler.advance(std::chrono::milliseconds(5));
        }
        // Let the restore watch run out, so the clipboard queue is free for the next case.
        scheduler.advance(std::chrono::milliseconds(2000));
        return outcome;
    }

    bool trusted = true;
    std::optional<QString> accessible;
    fakes::FakeClipboard clipboard;
    fakes::FakeSyntheticKeyboard keyboard;
    platform::FakeScheduler scheduler;
    FakeHints* hints = nullptr;
    std::unique_ptr<VocabularyCapture> capture;
};

const platform::ClipboardSnapshot userClipboard{{{"text/plain", "Einkaufsliste"}, {"image/png", QByteArray("\x89PNG", 4)}}};

TEST(VocabularyCapture, SelectionThroughAccessibilityOrCopy)
{
    {
        SCOPED_TRACE("not trusted: only the hint, no keys, no clipboard");
        CaptureRig rig;
        rig.trusted = false;
        rig.accessible = QStringLiteral("Wort");
        EXPECT_EQ(rig.run(), (Hint{HintKind::error, QStringLiteral("Bedienungshilfen fehlen"),
                                   QStringLiteral("Ohne sie kann KORVU Darivir die Markierung nicht lesen.")}));
        EXPECT_TRUE(rig.keyboard.chords.empty());
        EXPECT_TRUE(stored().isEmpty());
    }
    {
        SCOPED_TRACE("the accessibility service has the selection");
        CaptureRig rig;
        rig.clipboard.contents = userClipboard;
        rig.accessible = QStringLiteral(" Vocarion ");
        EXPECT_EQ(rig.run(), added("Vocarion"));
        EXPECT_TRUE(rig.keyboard.chords.empty());
        EXPECT_EQ(rig.clipboard.contents.formats, userClipboard.formats);
    }
    {
        SCOPED_TRACE("copied: the user's clipboard with all its formats comes back");
        CaptureRig rig;
        rig.clipboard.contents = userClipboard;
        rig.accessible = QStringLiteral("  ");
        rig.keyboard.onChord = [&](std::uint32_t) { rig.clipboard.writeByOtherProgram(QStringLiteral("Bexmor")); };
        EXPECT_EQ(rig.run(), added("Bexmor"));
        EXPECT_EQ(rig.keyboard.chords, std::vector<std::uint32_t>{XK_c});
        EXPECT_EQ(rig.clipboard.contents.formats, userClipboard.formats);
        EXPECT_EQ(stored(), QStringList{"Bexmor"});
    }
    {
        SCOPED_TRACE("copied onto an empty clipboard: the copy stays");
        CaptureRig rig;
        rig.keyboard.onChord = [&](std::uint32_t) { rig.clipboard.writeByOtherProgram(QStringLiteral("Bexmor")); };
        EXPECT_EQ(rig.run(), added("Bexmor"));
        EXPECT_EQ(rig.clipboard.text(), QStringLiteral("Bexmor"));
        EXPECT_EQ(rig.clipboard.restores, 0);
    }
    {
        SCOPED_TRACE("nothing copies: nothing selected, clipboard untouched");
        CaptureRig rig;
        rig.clipboard.contents = userClipboard;
        EXPECT_EQ(rig.run(), nothingSelected);
        EXPECT_EQ(rig.clipboard.restores, 0);
        EXPECT_EQ(rig.clipboard.contents.formats, userClipboard.formats);
    }
}

// Ctrl+C waits up to 20 × 25 ms for Shift, Control and Alt to be let go (Super does not
// count); the copy is polled 10 × 30 ms; a copy that lands later still gets undone.
TEST(VocabularyCapture, WaitBudgetsAndALateCopy)
{
    struct Case {
        const char* name;
        unsigned held;
        std::optional<std::chrono::milliseconds> releasedAfter;
        std::chrono::milliseconds chordAt;
    };
    const std::vector<Case> cases = {
        {"nothing held", 0, std::nullopt, std::chrono::milliseconds(0)},
        {"Super alone does not count", platform::ModifierSuper, std::nullopt, std::chrono::milliseconds(0)},
        {"let go after 60 ms", platform::ModifierControl | platform::ModifierAlt, std::chrono::milliseconds(60),
         std::chrono::milliseconds(75)},
        {"held on: the copy goes after half a second", platform::ModifierShift, std::nullopt,
         std::chrono::milliseconds(500)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureRig rig;
        rig.keyboard.held = c.held;
        std::optional<std::chrono::milliseconds> chordAt;
        rig.keyboard.onChord = [&](std::uint32_t) {
            chordAt = rig.scheduler.now();
            rig.clipboard.writeByOtherProgram(QStringLiteral("Wort"));
        };
        platform::SchedulerToken release;
        if (c.releasedAfter) {
            release = rig.scheduler.schedule(*c.releasedAfter, [&] { rig.keyboard.held = 0; });
        }
        EXPECT_EQ(rig.run(), added("Wort"));
        EXPECT_EQ(chordAt, c.chordAt);
    }

    {
        SCOPED_TRACE("a copy after the polls: nothing selected, but the clipboard comes back");
        CaptureRig rig;
        rig.clipboard.contents = userClipboard;
        platform::SchedulerToken lateCopy;
        rig.keyboard.onChord = [&](std::uint32_t) {
            lateCopy = rig.scheduler.schedule(std::chrono::milliseconds(450),
                                              [&] { rig.clipboard.writeByOtherProgram(QStringLiteral("spät")); });
        };
        EXPECT_EQ(rig.run(), nothingSelected);
        EXPECT_EQ(rig.clipboard.contents.formats, userClipboard.formats);
        EXPECT_EQ(rig.clipboard.restores, 1);
    }
}

TEST(VocabularyCapture, ShortcutReachesTheCapture)
{
    CaptureRig rig;
    rig.accessible = QStringLiteral("Kurzbefehl");
    rig.capture->start();
    ASSERT_TRUE(korvu::HotkeyCenter::shared().onAddWord);
    korvu::HotkeyCenter::shared().onAddWord();
    EXPECT_EQ(stored(), QStringList{"Kurzbefehl"});
    rig.capture.reset();
    korvu::HotkeyCenter::shared().onAddWord();  // a capture that is gone does nothing
}

}  // namespace
}  // namespace dictationtest

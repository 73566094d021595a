#include "Rig.h"

#include "KorvuDarivir/Dictation/HotkeyCenter.h"
#include "KorvuDarivir/Dictation/VocabularyCapture.h"
#include "Platform/Input/KeyCodes.h"
#include "fakes/FakeClipboard.h"
#include "fakes/FakeSyntheticKeyboard.h"

#include <X11/keysym.h>

namespace dictationtest {
namespace {

using korvu::VocabularyCapture;

QStringList stored()
{
    return platform::UserDefaults::standard().stringArray(korvu::Settings::vocabularyKey).value_or(QStringList());
}

Hint added(const QString& term)
{
    return {HintKind::info, "Zum Wörterbuch hinzugefügt", QStringLiteral("„") + term + QStringLiteral("“")};
}

const Hint nothingSelected{HintKind::warning, "Nichts markiert", "Erst das Wort markieren, dann hinzufügen."};

QStringList numbered(int count)
{
    QStringList terms;
    for (int i = 0; i < count; ++i) terms << QStringLiteral("Begriff%1").arg(i);
    return terms;
}

TEST(VocabularyCapture, AddFollowsItsRulesInOrder)
{
    const QString sixty(60, u'x');
    const Hint already{HintKind::info, "Schon im Wörterbuch", {}};
    struct Case {
        std::optional<QString> selection;
        QStringList before;
        Hint hint;
        QStringList after;
    };
    const Case cases[] = {
        {"  (Hochdruck-Reiniger), ", {}, added("Hochdruck-Reiniger"), {"Hochdruck-Reiniger"}},
        {"z. B.", {}, added("z. B"), {"z. B"}},
        {"Dr.", {}, added("Dr."), {"Dr."}},
        {"Prof.", {}, added("Prof"), {"Prof"}},
        {"Anna\nLena", {}, added("Anna Lena"), {"Anna Lena"}},
        {"»„Müller“«", {}, added("Müller"), {"Müller"}},
        {" ;: !? ", {}, nothingSelected, {}},
        {std::nullopt, {}, nothingSelected, {}},
        {sixty, {}, added(sixty), {sixty}},
        {sixty + u'y', {},
         {HintKind::warning, "Zu lang fürs Wörterbuch", "Höchstens 60 Zeichen, am besten ein Name oder Begriff."}, {}},
        // One character with 100,000 combining marks: bounded in UTF-16 units too.
        {QString(u'Z') + QString(100000, QChar(0x0301)), {},
         {HintKind::warning, "Zu lang fürs Wörterbuch", "Höchstens 60 Zeichen, am besten ein Name oder Begriff."}, {}},
        {QString(u'Z') + QString(239, QChar(0x0301)), {}, added(QString(u'Z') + QString(239, QChar(0x0301))),
         {QString(u'Z') + QString(239, QChar(0x0301))}},
        {"Tagesordnung", {"tagesordnung"}, {already.kind, already.title, "„Tagesordnung“"}, {"tagesordnung"}},
        // The duplicate test comes before the full test.
        {"begriff7", numbered(80), {already.kind, already.title, "„begriff7“"}, numbered(80)},
        {"Neu", numbered(80),
         {HintKind::warning, "Wörterbuch ist voll", "Höchstens 80 Begriffe. In den Einstellungen welche entfernen."},
         numbered(80)},
        {"Neu", numbered(79), added("Neu"), numbered(79) << "Neu"},
        // Commas inside a selection do not split it.
        {"Meier, Schulze", {"Alt"}, added("Meier, Schulze"), {"Alt", "Meier, Schulze"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selection.value_or("<none>").left(80).toStdString());
        platform::UserDefaults::standard().set(korvu::Settings::vocabularyKey, c.before);
        auto hints = std::make_unique<FakeHints>();
        FakeHints* shown = hints.get();
        VocabularyCapture capture(VocabularyCapture::Environment{.hints = std::move(hints)});
        EXPECT_EQ(capture.add(c.selection), c.hint);
        EXPECT_EQ(stored(), c.after);
        EXPECT_EQ(shown->shown, std::vector<Hint>{c.hint});
        EXPECT_EQ(shown->anchors.back(), std::nullopt);
    }
}

// What other programs hand in (the session-bus method, --add-word) may carry control and
// direction characters; none of them reaches the list or the hint, and they go before the
// punctuation is trimmed.
TEST(VocabularyCapture, AddWordDropsEveryForbiddenCharacterClass)
{
    const std::pair<QString, Hint> cases[] = {
        {"Al\u001Bpha", added("Alpha")},                         // ESC
        {"\u0007Beta", added("Beta")},                           // BEL
        {"Gam\u0001ma\u001F", added("Gamma")},                  // the rest of C0
        {"Del\u007Fta", added("Delta")},                         // DEL
        {"\u0080Epsi\u009Blon\u009F", added("Epsilon")},       // C1
        {"\u202AZe\u202Bta\u202C", added("Zeta")},             // embeddings and their end
        {"\u202DE\u202Eta", added("Eta")},                      // overrides
        {"\u2066Th\u2067e\u2068ta\u2069", added("Theta")},    // isolates
        {"\u202E(Iota)\u202C", added("Iota")},                  // before the trim set
        {"\u202E\u001BDr.", added("Dr.")},                      // and before the period rule counts
        {"Anna\tLena\u0085Berg", added("Anna Lena Berg")},      // white-space controls part words
        {"\u001B\u0007\u202E\u2069", nothingSelected},
        {"\u202E ( ) \u0001", nothingSelected},
    };
    for (const auto& [text, hint] : cases) {
        SCOPED_TRACE(text.toStdString());
        platform::UserDefaults::standard().set(korvu::Settings::vocabularyKey, QStringList());
        VocabularyCapture capture(VocabularyCapture::Environment{.hints = std::make_unique<FakeHints>()});
        EXPECT_EQ(capture.addToVocabulary(text), hint);
        EXPECT_EQ(stored(), hint.title == nothingSelected.title ? QStringList() : QStringList{hint.detail->mid(1).chopped(1)});
    }
}

// The add-word shortcut on fakes: the accessibility service, else Ctrl+C through the
// clipboard, with the user's clipboard put back.
struct CaptureRig {
    CaptureRig()
    {
        platform::UserDefaults::standard().set(korvu::Settings::vocabularyKey, QStringList());
        capture = std::make_unique<VocabularyCapture>(VocabularyCapture::Environment{
            .isTrusted = [this] { return trusted; },
            .accessibleSelection = [this] { return accessible; },
            .clipboard = &clipboard,
            .keyboard = &keyboard,
            .scheduler = &scheduler,
            .hints = std::make_unique<FakeHints>()});
    }

    // The copy as another program makes it, `after` the chord.
    void copies(const QString& text, std::chrono::milliseconds after)
    {
        keyboard.onChord = [this, text, after](std::uint32_t) {
            chordAt = scheduler.now();
            late = scheduler.schedule(after, [this, text] { clipboard.writeByOtherProgram(text); });
        };
    }

    // Starts a capture and advances the fake clock until it ends and the restore watch ran out.
    std::optional<Hint> run()
    {
        std::optional<Hint> outcome;
        capture->addSelection([&](const Hint& hint) { outcome = hint; });
        // The clipboard's answers are queued calls: they run between the steps of the clock.
        const auto advance = [this](std::chrono::milliseconds by) {
            for (auto left = by; left > 0ms; left -= 5ms) {
                QCoreApplication::processEvents();
                scheduler.advance(5ms);
                QCoreApplication::processEvents();
            }
        };
        QCoreApplication::processEvents();
        for (int step = 0; !outcome && step < 1000; ++step) advance(5ms);
        advance(2000ms);
        return outcome;
    }

    bool trusted = true;
    std::optional<QString> accessible;
    fakes::FakeClipboard clipboard;
    fakes::FakeSyntheticKeyboard keyboard;
    fakes::FakeScheduler scheduler;
    platform::SchedulerToken late;
    std::optional<std::chrono::milliseconds> chordAt;
    std::unique_ptr<VocabularyCapture> capture;
};

// Ctrl+C waits up to 20 × 25 ms for Shift, Control and Alt to be let go (Super does not
// count), then goes anyway; the copy is polled 10 × 30 ms, and one that lands later still
// gets undone.
TEST(VocabularyCapture, SelectionThroughAccessibilityOrCopyAndTheUsersClipboardComesBack)
{
    const platform::ClipboardSnapshot user{{{"text/plain", "Einkaufsliste"}, {"image/png", QByteArray("\x89PNG", 4)}}};
    const platform::ClipboardSnapshot copied{{{"text/plain", "Bexmor"}}};
    struct Case {
        const char* name;
        bool trusted;
        std::optional<QString> accessible;
        bool userClipboard;
        std::optional<std::chrono::milliseconds> copyAfter;  // none: nothing copies
        Hint hint;
        bool typed;
        int restores;
        unsigned held = 0;  // the modifiers the user still holds
        std::optional<std::chrono::milliseconds> letGoAfter = {};
        std::chrono::milliseconds chordAt = 0ms;
    };
    const Case cases[] = {
        {"not trusted: only the hint, no keys", false, "Wort", true, 0ms,
         {HintKind::error, "Bedienungshilfen fehlen", "Ohne sie kann KORVU Darivir die Markierung nicht lesen."},
         false, 0},
        {"the accessibility service has the selection", true, " Vocarion ", true, 0ms, added("Vocarion"), false, 0},
        {"copied: the user's clipboard with all its formats comes back", true, "  ", true, 0ms, added("Bexmor"), true, 1},
        {"copied onto an empty clipboard: the copy stays", true, {}, false, 0ms, added("Bexmor"), true, 0},
        {"nothing copies: clipboard untouched", true, {}, true, {}, nothingSelected, true, 0},
        {"a copy before the tenth poll (30 ms apart) counts", true, {}, true, 295ms, added("Bexmor"), true, 1},
        {"a copy after the tenth poll is too late", true, {}, true, 305ms, nothingSelected, true, 1},
        {"a copy after the polls: nothing selected, the clipboard still comes back", true, {}, true, 450ms,
         nothingSelected, true, 1},
        {"Super alone does not count", true, {}, false, 0ms, added("Bexmor"), true, 0, platform::ModifierSuper},
        {"Control and Alt let go after 60 ms", true, {}, false, 0ms, added("Bexmor"), true, 0,
         platform::ModifierControl | platform::ModifierAlt, 60ms, 75ms},
        {"Shift held on: the copy goes after half a second", true, {}, false, 0ms, added("Bexmor"), true, 0,
         platform::ModifierShift, {}, 500ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureRig rig;
        rig.trusted = c.trusted;
        rig.accessible = c.accessible;
        rig.keyboard.held = c.held;
        platform::SchedulerToken letGo;
        if (c.letGoAfter) letGo = rig.scheduler.schedule(*c.letGoAfter, [&] { rig.keyboard.held = 0; });
        if (c.userClipboard) rig.clipboard.contents = user;
        if (c.copyAfter) rig.copies("Bexmor", *c.copyAfter);
        EXPECT_EQ(rig.run(), c.hint);
        EXPECT_EQ(rig.keyboard.chords, c.typed ? std::vector<std::uint32_t>{XK_c} : std::vector<std::uint32_t>{});
        if (c.typed && c.copyAfter) {
            EXPECT_EQ(rig.chordAt, c.chordAt);
        }
        EXPECT_EQ(rig.clipboard.restores, c.restores);
        EXPECT_EQ(rig.clipboard.contents.formats, (c.userClipboard ? user : copied).formats);
        EXPECT_EQ(stored().isEmpty(), c.hint.kind != HintKind::info);
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

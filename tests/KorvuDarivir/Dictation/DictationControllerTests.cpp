#include "Rig.h"

#include <gtest/gtest.h>

namespace dictationtest {
namespace {

using korvu::DictationPhase;
using korvu::MicButtonState;
using korvu::ModelState;

enum class Event { press, release, click, escape, answer };

struct Step {
    Event event;
    DictationPhase after;
};

const char* name(Event event)
{
    switch (event) {
    case Event::press: return "press";
    case Event::release: return "release";
    case Event::click: return "click";
    case Event::escape: return "escape";
    case Event::answer: return "answer";
    }
    return "?";
}

// Walks the phases through presses, releases, clicks, Escape and the transcriber's answer;
// after every step Escape is claimed exactly while recording.
TEST(DictationController, StateMachineInHoldAndToggleMode)
{
    using P = DictationPhase;
    struct Case {
        const char* name;
        bool holdToTalk;
        std::vector<Step> steps;
        std::size_t transcriptions;
    };
    const std::vector<Case> cases = {
        {"hold: second press ignored, release stops, input while processing dropped", true,
         {{Event::press, P::recording},
          {Event::press, P::recording},
          {Event::release, P::processing},
          {Event::press, P::processing},
          {Event::release, P::processing},
          {Event::click, P::processing},
          {Event::answer, P::idle},
          {Event::release, P::idle}},
         1},
        {"hold: the click toggles as in toggle mode", true,
         {{Event::click, P::recording}, {Event::click, P::processing}, {Event::answer, P::idle}}, 1},
        {"toggle: release does nothing, second press stops", false,
         {{Event::release, P::idle},
          {Event::press, P::recording},
          {Event::release, P::recording},
          {Event::press, P::processing},
          {Event::press, P::processing},
          {Event::click, P::processing},
          {Event::answer, P::idle},
          {Event::click, P::recording},
          {Event::click, P::processing},
          {Event::answer, P::idle}},
         2},
        {"Escape while recording discards, while idle does nothing", false,
         {{Event::escape, P::idle}, {Event::press, P::recording}, {Event::escape, P::idle}, {Event::escape, P::idle}},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        setDefault(korvu::Settings::holdToTalkKey, c.holdToTalk);
        rig.start();
        rig.ready();
        rig.recorder->samples.assign(16000, 0.1f);
        for (const Step& step : c.steps) {
            SCOPED_TRACE(name(step.event));
            switch (step.event) {
            case Event::press: rig.press(); break;
            case Event::release: rig.release(); break;
            case Event::click: rig.click(); break;
            case Event::escape: rig.hotkeys.escape(); drain(); break;
            case Event::answer:
                ASSERT_FALSE(rig.speech->calls.empty());
                rig.speech->answer(QStringLiteral("Hallo Welt"));
                drain();
                break;
            }
            EXPECT_EQ(rig.phase(), step.after);
            EXPECT_EQ(rig.hotkeys.escapeEnabled, step.after == DictationPhase::recording);
        }
        EXPECT_EQ(rig.speech->calls.size(), c.transcriptions);
        EXPECT_EQ(rig.inserter.insertions.size(), c.transcriptions);
        if (c.transcriptions == 0) {
            EXPECT_TRUE(rig.hints->shown.empty());
            EXPECT_FALSE(rig.model.flash().has_value());
        }
    }
}

TEST(DictationController, ShortestRecordingIsTranscribedOneSampleLessIsDropped)
{
    for (const int samples : {6400, 6399}) {
        SCOPED_TRACE(samples);
        Rig rig;
        rig.start();
        rig.ready();
        rig.recorder->samples.assign(static_cast<std::size_t>(samples), 0.2f);
        rig.press();
        rig.press();
        const bool transcribed = samples >= korvu::DictationController::minimumSamples;
        ASSERT_EQ(rig.speech->calls.size(), transcribed ? 1u : 0u);
        if (transcribed) {
            EXPECT_EQ(rig.speech->calls.back().samples, 6400u);
            EXPECT_EQ(rig.phase(), DictationPhase::processing);
        } else {
            EXPECT_EQ(rig.phase(), DictationPhase::idle);
            EXPECT_TRUE(rig.hints->shown.empty());
            EXPECT_FALSE(rig.model.flash().has_value());
        }
    }
}

// Every outcome of the failure table: the hint, the flash and that the phase ends idle.
TEST(DictationController, EveryFailureEndsInItsHint)
{
    struct Case {
        const char* name;
        std::function<void(Rig&)> prepare;
        // Null: the press fails already; otherwise the transcriber's answer.
        std::function<void(FakeSpeech&)> answer;
        Hint hint;
        std::optional<MicButtonState> flash;
    };
    const auto model = [](ModelState state) { return [state](Rig& rig) { rig.speech->onState(state); }; };
    const auto readyAnd = [](std::function<void(Rig&)> more) {
        return [more](Rig& rig) {
            rig.ready();
            more(rig);
        };
    };
    const auto answerWith = [](QString text) { return [text](FakeSpeech& speech) { speech.answer(text); }; };
    const std::vector<Case> cases = {
        {"downloading", model(ModelState::downloading(0.999)), nullptr,
         {HintKind::info, "Gleich so weit", QStringLiteral("Das Sprachmodell lädt noch · 99 %")}, std::nullopt},
        {"download just begun", model(ModelState::downloading(0)), nullptr,
         {HintKind::info, "Gleich so weit", QStringLiteral("Das Sprachmodell lädt noch · 0 %")}, std::nullopt},
        {"preparing the first time", model(ModelState::preparing(true)), nullptr,
         {HintKind::info, "Gleich so weit", QStringLiteral("Das Sprachmodell wird für deinen Mac optimiert.")},
         std::nullopt},
        {"preparing again", model(ModelState::preparing(false)), nullptr,
         {HintKind::info, "Gleich so weit", QStringLiteral("Das Sprachmodell startet.")}, std::nullopt},
        {"model failed", model(ModelState::failed("Datei fehlt")), nullptr,
         {HintKind::error, QStringLiteral("Sprachmodell nicht verfügbar"),
          QStringLiteral("Im Menü KORVU Darivir › „Sprachmodell erneut laden“.")},
         MicButtonState::err},
        {"model not loaded", [](Rig&) {}, nullptr,
         {HintKind::info, "Gleich so weit", QStringLiteral("Das Sprachmodell wird geladen.")}, std::nullopt},
        {"no Accessibility", readyAnd([](Rig& rig) { rig.permissions.trusted = false; }), nullptr,
         {HintKind::error, "Bedienungshilfen fehlen", QStringLiteral("Ohne Freigabe kann kein Text eingefügt werden.")},
         MicButtonState::err},
        {"a Wayland window in front",
         readyAnd([](Rig& rig) {
             rig.permissions.wayland = true;
             rig.applications.frontmostPid.reset();
         }),
         nullptr,
         {HintKind::error, QStringLiteral("Wayland-Fenster nicht erreichbar"),
          QStringLiteral("KORVU Darivir fügt unter Wayland nur in X11-Programme ein. Wechsle in ein solches Programm "
                         "oder in eine X11-Sitzung.")},
         MicButtonState::err},
        {"microphone denied",
         readyAnd([](Rig& rig) { rig.permissions.microphone = korvu::MicrophoneAuthorization::denied; }), nullptr,
         {HintKind::error, "Mikrofon nicht erlaubt", QStringLiteral("Erlaube den Zugriff in den Systemeinstellungen.")},
         MicButtonState::err},
        {"microphone restricted",
         readyAnd([](Rig& rig) { rig.permissions.microphone = korvu::MicrophoneAuthorization::restricted; }), nullptr,
         {HintKind::error, "Mikrofon nicht erlaubt", QStringLiteral("Erlaube den Zugriff in den Systemeinstellungen.")},
         MicButtonState::err},
        {"no microphone", readyAnd([](Rig& rig) { rig.recorder->startError = std::make_exception_ptr(korvu::RecorderError()); }),
         nullptr,
         {HintKind::error, "Kein Mikrofon gefunden", QStringLiteral("Schließe eins an oder wähle es in den Einstellungen.")},
         MicButtonState::err},
        {"recorder fails",
         readyAnd([](Rig& rig) { rig.recorder->startError = std::make_exception_ptr(std::runtime_error("Gerät belegt")); }),
         nullptr, {HintKind::error, "Aufnahme nicht möglich", QStringLiteral("Gerät belegt")}, MicButtonState::err},
        {"transcription fails", readyAnd([](Rig&) {}),
         [](FakeSpeech& speech) { speech.fail(std::make_exception_ptr(korvu::TranscriberError::notReady())); },
         {HintKind::error, "Diktat fehlgeschlagen", QStringLiteral("Das Sprachmodell ist noch nicht geladen.")},
         MicButtonState::err},
        {"nothing recognised", readyAnd([](Rig&) {}), answerWith(QString()),
         {HintKind::info, "Keine Sprache erkannt", QStringLiteral("Sprich etwas näher am Mikrofon.")}, std::nullopt},
        {"cleanup without a key", readyAnd([](Rig&) { setDefault(korvu::Settings::cleanupEnabledKey, true); }),
         answerWith("roher Text"),
         {HintKind::warning, "Rohtext eingefügt", QStringLiteral("Für die KI-Aufbereitung fehlt der API-Key.")},
         MicButtonState::ok},
        {"cleanup with a locked keyring",
         readyAnd([](Rig& rig) {
             setDefault(korvu::Settings::cleanupEnabledKey, true);
             rig.keys.lockedOrUnavailable = korvu::KeyStatus::locked;
         }),
         answerWith("roher Text"),
         {HintKind::warning, "Rohtext eingefügt", QStringLiteral("Für die KI-Aufbereitung fehlt der API-Key.")},
         MicButtonState::ok},
        {"cleanup fails",
         readyAnd([](Rig& rig) {
             setDefault(korvu::Settings::cleanupEnabledKey, true);
             rig.keys.values[korvu::Keychain::Account::anthropicAPIKey] = "sk-test";
             *rig.cleanupFails = true;
         }),
         answerWith("roher Text"),
         {HintKind::warning, "Rohtext eingefügt", QStringLiteral("Die KI-Aufbereitung hat nicht geklappt.")},
         MicButtonState::ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.start();
        c.prepare(rig);
        rig.recorder->samples.assign(16000, 0.1f);
        rig.press();
        if (c.answer) {
            ASSERT_EQ(rig.phase(), DictationPhase::recording);
            rig.press();
            ASSERT_EQ(rig.speech->calls.size(), 1u);
            c.answer(*rig.speech);
            ASSERT_TRUE(spinUntil([&] { return rig.phase() == DictationPhase::idle && !rig.hints->shown.empty(); }));
        }
        EXPECT_EQ(rig.phase(), DictationPhase::idle);
        EXPECT_EQ(rig.hints->last(), c.hint);
        EXPECT_EQ(rig.hints->shown.size(), 1u);
        EXPECT_EQ(rig.model.flash(), c.flash);
        const bool rawInserted = c.flash == MicButtonState::ok;
        EXPECT_EQ(rig.inserter.insertions.size(), rawInserted ? 1u : 0u);
        if (rawInserted) {
            EXPECT_EQ(rig.inserter.insertions.back().text, "roher Text");
        }
        if (QString(c.name) == "model not loaded") {
            EXPECT_EQ(rig.speech->loads, 1);
        }
        if (QString(c.name).startsWith("microphone")) {
            EXPECT_EQ(rig.permissions.openedPanes, std::vector{korvu::PrivacyPane::microphone});
        }
    }
}

// Where the text goes and what the last insert and the history say about it.
TEST(DictationController, TextGoesToTheApplicationChosenAtTheStart)
{
    struct Case {
        const char* name;
        std::optional<std::int64_t> fieldPid;
        std::optional<std::int64_t> frontmost;
        std::optional<std::int64_t> pidAfterFocusMoves;  // a field reported during recording
        bool sink;
        std::optional<std::int64_t> insertedInto;
        QString appName;
    };
    const std::vector<Case> cases = {
        {"the focused field's application", 100, 200, std::nullopt, false, 100, "Kate"},
        {"no field: the frontmost application", std::nullopt, 200, std::nullopt, false, 200, "Firefox"},
        {"no field, nothing in front", std::nullopt, std::nullopt, std::nullopt, false, std::nullopt, "Unbekannte App"},
        {"a focus change while recording moves nothing", 100, 200, 200, false, 100, "Kate"},
        {"an application without a name", 300, std::nullopt, std::nullopt, false, 300, "Unbekannte App"},
        {"the onboarding sink", 100, 200, std::nullopt, true, std::nullopt, "KORVU Darivir"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.applications.add(100, "org.kde.kate", "Kate");
        rig.applications.add(200, "firefox", "Firefox");
        rig.applications.add(300, "", "");
        rig.applications.frontmostPid = c.frontmost;
        rig.start();
        rig.ready();
        std::vector<QString> sunk;
        if (c.sink) {
            // The onboarding's test dictation needs no Accessibility and shows no button.
            rig.permissions.trusted = false;
            rig.model.setAccessibilityGranted(false);
            rig.model.setInternalSink([&](const QString& text) { sunk.push_back(text); });
        }
        if (c.fieldPid) {
            rig.controller->focusChanged(korvu::FocusedField{static_cast<pid_t>(*c.fieldPid), QRectF(10, 10, 300, 30)});
        }
        rig.recorder->samples.assign(16000, 0.1f);
        rig.press();
        ASSERT_EQ(rig.phase(), DictationPhase::recording);
        if (c.pidAfterFocusMoves) {
            rig.controller->focusChanged(
                korvu::FocusedField{static_cast<pid_t>(*c.pidAfterFocusMoves), QRectF(10, 10, 300, 30)});
        }
        rig.press();
        rig.speech->answer(QStringLiteral("Hallo  schöne\nneue Welt"));
        ASSERT_TRUE(spinUntil([&] { return rig.phase() == DictationPhase::idle; }));
        if (c.sink) {
            EXPECT_EQ(sunk, std::vector<QString>{"Hallo  schöne\nneue Welt"});
            EXPECT_TRUE(rig.inserter.insertions.empty());
            EXPECT_FALSE(rig.panel->visible);
        } else {
            ASSERT_EQ(rig.inserter.insertions.size(), 1u);
            EXPECT_EQ(rig.inserter.insertions[0].pid, c.insertedInto);
        }
        EXPECT_EQ(rig.model.lastInsert(), (korvu::LastInsert{4, c.appName}));
        ASSERT_EQ(rig.history.records().size(), 1);
        EXPECT_EQ(rig.history.records()[0].appName, c.appName);
        EXPECT_EQ(rig.history.records()[0].text, "Hallo  schöne\nneue Welt");
        EXPECT_EQ(rig.model.flash(), MicButtonState::ok);
        EXPECT_TRUE(rig.hints->shown.empty());
    }
}

TEST(DictationController, CleanupUsesTheStyleOfTheTargetAndItsText)
{
    Rig rig;
    rig.applications.add(100, "thunderbird", "Thunderbird");
    rig.applications.frontmostPid = 100;
    setDefault(korvu::Settings::cleanupEnabledKey, true);
    setDefault(korvu::Settings::vocabularyKey, QStringList{"Darivir"});
    rig.keys.values[korvu::Keychain::Account::anthropicAPIKey] = "sk-test";
    rig.start();
    rig.ready();
    rig.recorder->samples.assign(16000, 0.1f);
    rig.press();
    rig.press();
    ASSERT_EQ(rig.speech->calls.size(), 1u);
    EXPECT_EQ(rig.speech->calls[0].vocabulary, QStringList{"Darivir"});
    EXPECT_EQ(rig.speech->calls[0].language, QStringLiteral("de"));
    rig.speech->answer("liebe grüße");
    ASSERT_TRUE(spinUntil([&] { return rig.phase() == DictationPhase::idle; }));
    ASSERT_EQ(rig.inserter.insertions.size(), 1u);
    EXPECT_EQ(rig.inserter.insertions[0].text, "Sauber: liebe grüße");
    EXPECT_EQ(rig.cleanups->style.load(), static_cast<int>(korvu::CleanupStyle::email));
    EXPECT_EQ(rig.cleanups->key, "sk-test");
    EXPECT_TRUE(rig.hints->shown.empty());
}

// A flash lasts 0.8 s (ok) or 1.5 s (error) from its own start; a newer one replaces it.
// An error hint flashes the button only when idle and not flashing already.
TEST(DictationController, FlashesReplaceEachOtherAndErrorHintsFlashOnlyWhenIdle)
{
    Rig rig;
    rig.start();
    rig.ready();
    rig.recorder->samples.assign(16000, 0.1f);

    rig.permissions.trusted = false;
    rig.press();  // error hint -> error flash
    EXPECT_EQ(rig.model.flash(), MicButtonState::err);
    rig.scheduler.advance(std::chrono::milliseconds(1000));
    rig.press();  // while the flash shows: the hint comes, the flash is not restarted
    EXPECT_EQ(rig.hints->shown.size(), 2u);
    rig.scheduler.advance(std::chrono::milliseconds(499));
    EXPECT_EQ(rig.model.flash(), MicButtonState::err);
    rig.scheduler.advance(std::chrono::milliseconds(1));
    EXPECT_FALSE(rig.model.flash().has_value());

    // An ok flash, then an error flash 0.5 s later: the error one counts from its start.
    rig.permissions.trusted = true;
    rig.press();
    rig.press();
    rig.speech->answer("eins");
    drain();
    EXPECT_EQ(rig.model.flash(), MicButtonState::ok);
    rig.scheduler.advance(std::chrono::milliseconds(500));
    rig.recorder->startError = std::make_exception_ptr(korvu::RecorderError());
    rig.press();
    EXPECT_EQ(rig.model.flash(), MicButtonState::err);
    rig.scheduler.advance(std::chrono::milliseconds(1499));
    EXPECT_EQ(rig.model.flash(), MicButtonState::err);
    rig.scheduler.advance(std::chrono::milliseconds(1));
    EXPECT_FALSE(rig.model.flash().has_value());
    EXPECT_EQ(rig.panel->state, MicButtonState::idle);
}

// The clock counts whole seconds from a monotonic clock, ticking four times a second; a
// level that arrives after the stop does not reach the button.
TEST(DictationController, RecordingClockAndLevels)
{
    Rig rig;
    rig.start();
    rig.ready();
    rig.recorder->samples.assign(16000, 0.1f);
    rig.model.setRecordingSeconds(7);
    rig.press();
    EXPECT_EQ(rig.model.recordingSeconds(), 0);
    rig.scheduler.advance(std::chrono::milliseconds(999));
    EXPECT_EQ(rig.model.recordingSeconds(), 0);
    rig.scheduler.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(rig.model.recordingSeconds(), 1);
    rig.scheduler.advance(std::chrono::milliseconds(61250));
    EXPECT_EQ(rig.model.recordingSeconds(), 62);

    rig.recorder->level(0.6f);
    drain();
    EXPECT_FLOAT_EQ(rig.panel->level, 0.6);
    rig.recorder->level(0.9f);  // queued; the stop comes first
    rig.hotkeys.press();
    drain();
    EXPECT_EQ(rig.panel->level, 0.0);
    rig.scheduler.advance(std::chrono::milliseconds(5000));
    EXPECT_EQ(rig.model.recordingSeconds(), 62);  // kept until the next recording
    EXPECT_EQ(rig.scheduler.pendingCount(), 0);
}

// The system asks once; the answer starts the recording only while idle; a press during
// the question neither asks again nor starts a second recording.
TEST(DictationController, MicrophoneQuestionIsAskedOnceAndRetriedOnlyWhileIdle)
{
    for (const bool granted : {true, false}) {
        SCOPED_TRACE(granted);
        Rig rig;
        rig.start();
        rig.ready();
        rig.permissions.microphone = korvu::MicrophoneAuthorization::notDetermined;
        rig.press();
        rig.press();
        EXPECT_EQ(rig.phase(), DictationPhase::idle);
        ASSERT_EQ(rig.permissions.pendingAnswers.size(), 1u);
        EXPECT_TRUE(rig.hints->shown.empty());
        rig.permissions.microphone =
            granted ? korvu::MicrophoneAuthorization::authorized : korvu::MicrophoneAuthorization::denied;
        rig.permissions.pendingAnswers[0](granted);
        drain();
        EXPECT_EQ(rig.model.microphoneGranted(), granted);
        EXPECT_EQ(rig.phase(), granted ? DictationPhase::recording : DictationPhase::idle);
        EXPECT_EQ(rig.recorder->startedWith.size(), granted ? 1u : 0u);
        EXPECT_TRUE(rig.hints->shown.empty());
    }
}

// Opening the microphone takes a while; what the user does meanwhile is honoured once it
// is open.
TEST(DictationController, InputWhileTheMicrophoneOpens)
{
    struct Case {
        const char* name;
        bool holdToTalk;
        std::function<void(Rig&)> meanwhile;
        DictationPhase after;
        int starts;
    };
    const std::vector<Case> cases = {
        {"hold: released before the microphone opened", true, [](Rig& rig) { rig.release(); },
         DictationPhase::processing, 1},
        {"hold: another press changes nothing", true, [](Rig& rig) { rig.press(); }, DictationPhase::recording, 1},
        {"toggle: the second press stops at once", false, [](Rig& rig) { rig.press(); }, DictationPhase::processing, 1},
        {"cancelled before it opened", false, [](Rig& rig) { rig.controller->cancelRecording(); }, DictationPhase::idle, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        setDefault(korvu::Settings::holdToTalkKey, c.holdToTalk);
        rig.start();
        rig.ready();
        rig.recorder->holdStarts = true;
        rig.recorder->samples.assign(16000, 0.1f);
        rig.press();
        EXPECT_EQ(rig.phase(), DictationPhase::idle);
        c.meanwhile(rig);
        EXPECT_EQ(rig.phase(), DictationPhase::idle);
        rig.recorder->finishStart();
        drain();
        EXPECT_EQ(rig.phase(), c.after);
        EXPECT_EQ(static_cast<int>(rig.recorder->startedWith.size()), c.starts);
        EXPECT_EQ(rig.hotkeys.escapeEnabled, c.after == DictationPhase::recording);
    }
}

TEST(DictationController, StartLoadsTheModelWhenPresentOrAfterOnboarding)
{
    for (const auto& [present, onboarded, loads] : {std::tuple{false, false, 0}, {true, false, 1}, {false, true, 1}}) {
        Rig rig;
        rig.speech->present = present;
        setDefault(korvu::Settings::onboardingCompletedKey, onboarded);
        rig.start();
        EXPECT_EQ(rig.speech->loads, loads);
        // The model's state shows on the button.
        rig.speech->onState(ModelState::downloading(0.5));
        EXPECT_EQ(rig.panel->state, MicButtonState::load(0.5));
        EXPECT_EQ(rig.model.model(), ModelState::downloading(0.5));
    }
}

TEST(DictationController, DownloadPercentIsTruncatedAndClamped)
{
    using C = korvu::DictationController;
    EXPECT_EQ(C::downloadingDetail(0.999), QStringLiteral("Das Sprachmodell lädt noch · 99 %"));
    EXPECT_EQ(C::downloadingDetail(1.5), QStringLiteral("Das Sprachmodell lädt noch · 100 %"));
    EXPECT_EQ(C::downloadingDetail(std::nan("")), QStringLiteral("Das Sprachmodell lädt noch · 0 %"));
    EXPECT_EQ(C::wordCount(QStringLiteral(" eins\tzwei\n\ndrei ")), 3);
    EXPECT_EQ(C::wordCount(QString()), 0);
}

}  // namespace
}  // namespace dictationtest

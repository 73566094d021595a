#include "Rig.h"
#include "Vocarion/Utilities/DarivirError.h"

#include "support/Speech.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"
#include "KorvuDarivir/Dictation/TextCleaner.h"

#include <string_view>

namespace dictationtest {
namespace {

using DictationControllerRig = WithRig;
using Mic = korvu::MicrophoneAuthorization;

// One dictation after another, written as steps: an event, then the phase it leaves.
// Events: p press, r release, c click, e Escape, x cancel (status menu), a the transcriber
// answers, o the microphone finally opens (the recorder holds its starts when a case has
// this step), g / d the user grants / denies the microphone (asked when a case has these),
// s / S the next recording is one sample short of 0.4 s / just 0.4 s long.
// Phases: I idle, R recording, P processing. After every step Escape is claimed and the
// microphone open exactly while recording.
TEST(DictationController, PhasesInHoldAndToggleModeWhileTheMicrophoneOpensAndIsAskedFor)
{
    struct Case {
        const char* name;
        bool holdToTalk;
        std::string_view steps;
        std::size_t transcriptions;
    };
    const Case cases[] = {
        {"hold: second press ignored, release stops, input while processing dropped", true, "pR pR rP pP rP cP aI rI", 1},
        {"hold: the click toggles as in toggle mode", true, "cR cP aI", 1},
        {"toggle: release does nothing, second press stops", false, "rI pR rR pP pP cP aI cR cP aI", 2},
        {"Escape while recording discards, while idle does nothing", false, "eI pR eI eI", 0},
        {"hold: released before the microphone opened", true, "pI rI oP aI", 1},
        {"hold: another press while it opens changes nothing", true, "pI pI oR", 0},
        {"toggle: a second press while it opens stops at once", false, "pI pI oP aI", 1},
        {"cancelled before it opened", false, "pI xI oI", 0},
        {"asked once, granted: the answer starts the recording", false, "pI pI gR", 0},
        {"asked once, denied: nothing starts, no hint", false, "pI dI", 0},
        {"the shortest recording is transcribed", false, "SI pR pP aI", 1},
        {"one sample less is dropped without a word", false, "sI pR pI", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.settings.holdToTalkOn = c.holdToTalk;
        const bool asks = c.steps.find_first_of("gd") != std::string_view::npos;
        rig.recorder->holdStarts = c.steps.find('o') != std::string_view::npos;
        if (asks) rig.permissions.microphone = Mic::notDetermined;
        rig.start();
        for (std::size_t i = 0; i + 1 < c.steps.size(); i += 3) {
            SCOPED_TRACE(std::string(c.steps.substr(i, 2)));
            switch (c.steps[i]) {
            case 'p': rig.hotkeys.press(); break;
            case 'r': rig.hotkeys.release(); break;
            case 'c': rig.panel->callbacks.onClick(); break;
            case 'e': rig.hotkeys.escape(); break;
            case 'x': rig.controller->cancelRecording(); break;
            case 'o': rig.recorder->finishStart(); break;
            case 's': rig.recorder->samples = voice(6399); break;
            case 'S': rig.recorder->samples = voice(6400); break;
            case 'a':
                ASSERT_FALSE(rig.speech->calls.empty());
                rig.speech->answer(QStringLiteral("Hallo Welt"));
                break;
            default:
                rig.permissions.microphone = c.steps[i] == 'g' ? Mic::authorized : Mic::denied;
                rig.permissions.pendingAnswers.at(0)(c.steps[i] == 'g');
                drain();
                EXPECT_EQ(rig.model.microphoneGranted(), c.steps[i] == 'g');
            }
            drain();
            const DictationPhase after = c.steps[i + 1] == 'I'   ? DictationPhase::idle
                                         : c.steps[i + 1] == 'R' ? DictationPhase::recording
                                                                 : DictationPhase::processing;
            EXPECT_EQ(rig.phase(), after);
            EXPECT_EQ(rig.hotkeys.escapeEnabled, after == DictationPhase::recording);
            EXPECT_EQ(rig.recorder->recording, after == DictationPhase::recording);
        }
        EXPECT_EQ(rig.permissions.pendingAnswers.size(), asks ? 1u : 0u);
        EXPECT_EQ(rig.speech->calls.size(), c.transcriptions);
        EXPECT_EQ(rig.inserter.insertions.size(), c.transcriptions);
        if (c.transcriptions == 0) {
            EXPECT_TRUE(rig.hints->shown.empty());
            EXPECT_FALSE(rig.model.flash().has_value());
        }
    }
}

// Every outcome of the failure table, checked in order: a case that fails at one check also
// carries a fault for each later check of the press (no Accessibility, the microphone
// denied, no microphone), which must not be reached. Errors flash the button red; a raw
// text inserted instead of a cleaned one flashes it as done.
TEST(DictationController, EveryFailureEndsInItsHintAndTheChecksGoInOrder)
{
    enum Stage { model, insertion, microphone, recorder, transcription, text };
    struct Case {
        const char* name;
        Stage stage;
        std::function<void(Rig&)> prepare;  // the case's own fault
        Hint hint;
        const char* answer = "roher Text";  // what the transcriber says from the text stage on
        // How the transcription stage fails.
        std::exception_ptr failure = std::make_exception_ptr(korvu::TranscriberError::notReady());
    };
    const auto modelIs = [](ModelState state) { return [state](Rig& rig) { rig.speech->onState(state); }; };
    const auto recorderFails = [](std::exception_ptr error) { return [error](Rig& rig) { rig.recorder->startError = error; }; };
    const auto cleanupWith = [](std::optional<korvu::KeyStatus> keyring, bool key, bool fails) {
        return [=](Rig& rig) {
            rig.settings.cleanupOn = true;
            rig.keys.lockedOrUnavailable = keyring;
            if (key) rig.keys.values[korvu::Keychain::Account::anthropicAPIKey] = "sk-test";
            rig.cleanup->fails = fails;
        };
    };
    const auto soon = [](const char* detail) { return Hint{HintKind::info, "Gleich so weit", QString(detail)}; };
    const Hint micDenied{HintKind::error, "Mikrofon nicht erlaubt", "Erlaube den Zugriff in den Einstellungen deines Systems."};
    const Hint noKey{HintKind::warning, "Rohtext eingefügt", "Für die KI-Aufbereitung fehlt der API-Key."};
    const Case cases[] = {
        {"downloading", model, modelIs(ModelState::downloading(0.999)), soon("Das Sprachmodell lädt noch · 99 %")},
        {"preparing the first time", model, modelIs(ModelState::preparing(true)),
         soon("Das Sprachmodell wird für diesen Rechner optimiert.")},
        {"preparing again", model, modelIs(ModelState::preparing(false)), soon("Das Sprachmodell startet.")},
        {"model failed", model, modelIs(ModelState::failed("Datei fehlt")),
         {HintKind::error, "Sprachmodell nicht verfügbar", "Im Menü des KORVU-Darivir-Symbols im Panel › „Sprachmodell erneut laden“."}},
        // Without a tray there is no such menu: the hint names the settings instead.
        {"model failed, no tray", model,
         [](Rig& rig) {
             rig.statusMenuShown = false;
             rig.speech->onState(ModelState::failed("Datei fehlt"));
         },
         {HintKind::error, "Sprachmodell nicht verfügbar", "In den Einstellungen › System › Sprachmodell."}},
        {"model not loaded", model, {}, soon("Das Sprachmodell wird geladen.")},
        {"no Accessibility", insertion, [](Rig& rig) { rig.permissions.trusted = false; },
         {HintKind::error, "Bedienungshilfen fehlen", "Ohne Freigabe kann kein Text eingefügt werden."}},
        {"a Wayland window in front", insertion, [](Rig& rig) { rig.permissions.wayland = true; },
         {HintKind::error, "Wayland-Fenster nicht erreichbar",
          "KORVU Darivir fügt unter Wayland nur in X11-Programme ein. Wechsle in ein solches Programm oder in eine "
          "X11-Sitzung."}},
        {"microphone denied", microphone, [](Rig& rig) { rig.permissions.microphone = Mic::denied; }, micDenied},
        {"microphone restricted", microphone, [](Rig& rig) { rig.permissions.microphone = Mic::restricted; }, micDenied},
        {"no microphone", recorder, recorderFails(std::make_exception_ptr(korvu::RecorderError())),
         {HintKind::error, "Kein Mikrofon gefunden", "Schließe eins an oder wähle es in den Einstellungen."}},
        {"recorder fails", recorder, recorderFails(std::make_exception_ptr(std::runtime_error("Gerät belegt"))),
         {HintKind::error, "Aufnahme nicht möglich", "Gerät belegt"}},
        {"transcription fails", transcription, {},
         {HintKind::error, "Diktat fehlgeschlagen", "Das Sprachmodell ist noch nicht geladen."}},
        // The engine's English message stays in the log.
        {"the engine fails", transcription, {},
         {HintKind::error, "Diktat fehlgeschlagen",
          "Die Spracherkennung ist an dieser Aufnahme gescheitert. Versuche es noch einmal."},
         "roher Text", std::make_exception_ptr(vocarion::DarivirError::decodingFailed("logits are NaN"))},
        {"nothing recognised", text, {}, {HintKind::info, "Keine Sprache erkannt", "Sprich etwas näher am Mikrofon."}, ""},
        {"cleanup without a key", text, cleanupWith({}, false, false), noKey},
        {"cleanup with a locked keyring", text, cleanupWith(korvu::KeyStatus::locked, true, false),
         {HintKind::warning, "Rohtext eingefügt",
          "Der Schlüsselbund ist gesperrt. Entsperre ihn, dann liest KORVU Darivir den API-Key."}},
        {"cleanup with a keyring that does not answer", text, cleanupWith(korvu::KeyStatus::unavailable, true, false),
         {HintKind::warning, "Rohtext eingefügt",
          "Der Schlüsselbund antwortet nicht, der API-Key ließ sich nicht lesen."}},
        {"cleanup fails", text, cleanupWith({}, true, true),
         {HintKind::warning, "Rohtext eingefügt", "Die KI-Aufbereitung hat nicht geklappt."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.start(c.stage != model);
        if (c.stage < insertion) rig.permissions.trusted = false;
        if (c.stage < microphone) rig.permissions.microphone = Mic::denied;
        if (c.stage < recorder) rig.recorder->startError = std::make_exception_ptr(korvu::RecorderError());
        if (c.prepare) c.prepare(rig);
        rig.press();
        if (c.stage >= transcription) {
            ASSERT_EQ(rig.phase(), DictationPhase::recording);
            rig.press();
            ASSERT_EQ(rig.speech->calls.size(), 1u);
            rig.speech->calls[0].done(c.answer, c.stage == transcription ? c.failure : nullptr);
            ASSERT_TRUE(testsupport::spinUntil([&] { return rig.phase() == DictationPhase::idle && !rig.hints->shown.empty(); }));
        }
        EXPECT_EQ(rig.phase(), DictationPhase::idle);
        EXPECT_EQ(rig.hints->shown, std::vector<Hint>{c.hint});
        const bool rawInserted = c.hint.kind == HintKind::warning;
        EXPECT_EQ(rig.model.flash(), c.hint.kind == HintKind::error ? std::optional(MicButtonState::err)
                                     : rawInserted                  ? std::optional(MicButtonState::ok)
                                                                    : std::nullopt);
        EXPECT_EQ(rig.inserter.insertions, (rawInserted ? Insertions{{"roher Text", std::nullopt}} : Insertions{}));
        EXPECT_EQ(rig.speech->loads, std::string_view(c.name) == "model not loaded" ? 1 : 0);
        EXPECT_EQ(rig.permissions.openedPanes().size(), c.stage == microphone ? 1u : 0u);
    }
    using C = korvu::DictationController;
    EXPECT_EQ(C::downloadingDetail(1.5), QStringLiteral("Das Sprachmodell lädt noch · 100 %"));
    EXPECT_EQ(C::downloadingDetail(std::nan("")), QStringLiteral("Das Sprachmodell lädt noch · 0 %"));
}

// Where the text goes, cleaned up or not, and what the last insert and the history say.
TEST(DictationController, TextGoesToTheApplicationChosenAtTheStart)
{
    struct Case {
        const char* name;
        std::optional<pid_t> field;
        std::optional<std::int64_t> frontmost;
        std::optional<pid_t> fieldDuringRecording;
        bool sink;
        bool cleanup;
        std::optional<std::int64_t> insertedInto;
        QString appName;
    };
    const Case cases[] = {
        {"no field: the frontmost application", {}, 200, {}, false, false, 200, "Firefox"},
        {"no field, nothing in front", {}, {}, {}, false, false, {}, "Unbekannte App"},
        {"a focus change while recording moves nothing", 100, 200, 200, false, false, 100, "Kate"},
        {"an application without a name", 300, {}, {}, false, false, 300, "Unbekannte App"},
        {"the onboarding sink", 100, 200, {}, true, false, {}, "KORVU Darivir"},
        {"cleaned up in the style of a mail program", {}, 400, {}, false, true, 400, "Thunderbird"},
    };
    const QString text = QStringLiteral("Hallo  schöne\nneue Welt");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.applications.add(100, "org.kde.kate", "Kate");
        rig.applications.add(200, "firefox", "Firefox");
        rig.applications.add(300, "", "");
        rig.applications.add(400, "thunderbird", "Thunderbird");
        rig.applications.frontmostPid = c.frontmost;
        rig.settings.terms = QStringList{"Darivir"};
        rig.settings.cleanupOn = c.cleanup;
        rig.keys.values[korvu::Keychain::Account::anthropicAPIKey] = "sk-test";
        rig.start();
        std::vector<QString> sunk;
        if (c.sink) {
            // The onboarding's test dictation needs no Accessibility and shows no button.
            rig.permissions.trusted = false;
            rig.model.setAccessibilityGranted(false);
            rig.model.setInternalSink([&](const QString& sent) { sunk.push_back(sent); });
        }
        if (c.field) rig.focus(*c.field, QRectF(10, 10, 300, 30));
        rig.press();
        ASSERT_EQ(rig.phase(), DictationPhase::recording);
        if (c.fieldDuringRecording) rig.focus(*c.fieldDuringRecording, QRectF(10, 10, 300, 30));
        rig.press();
        ASSERT_EQ(rig.speech->calls.size(), 1u);
        EXPECT_EQ(rig.speech->calls[0].vocabulary, QStringList{"Darivir"});
        EXPECT_EQ(rig.speech->calls[0].language, QStringLiteral("de"));
        rig.speech->answer(text);
        ASSERT_TRUE(rig.idleAgain());
        const QString inserted = c.cleanup ? QStringLiteral("Sauber: ") + text : text;
        EXPECT_EQ(sunk, c.sink ? std::vector<QString>{inserted} : std::vector<QString>{});
        EXPECT_EQ(rig.inserter.insertions, (c.sink ? Insertions{} : Insertions{{inserted, c.insertedInto}}));
        EXPECT_EQ(rig.panel->visible, !c.sink);
        EXPECT_EQ(rig.model.lastInsert(), (korvu::LastInsert{c.cleanup ? 5 : 4, c.appName}));
        ASSERT_EQ(rig.history.records().size(), 1);
        EXPECT_EQ(rig.history.records()[0].appName, c.appName);
        EXPECT_EQ(rig.history.records()[0].text, inserted);
        EXPECT_EQ(rig.model.flash(), MicButtonState::ok);
        EXPECT_TRUE(rig.hints->shown.empty());
        if (c.cleanup) {
            EXPECT_EQ(rig.cleanup->style, korvu::CleanupStyle::email);
            EXPECT_EQ(rig.cleanup->key, "sk-test");
            EXPECT_EQ(rig.cleanup->vocabulary, QStringList{"Darivir"});
        }
    }
}

// The real cleanup against a service whose answer never ends: the answer is cut off, and
// the dictation ends as every failed cleanup does, with the raw text inserted and the hint.
TEST(DictationController, ACleanupAnswerWithoutEndInsertsTheRawText)
{
    testsupport::TestHttpServer service([](const testsupport::HttpRequest&, testsupport::HttpResponder& out) {
        out.writeHead(200, {{"Content-Type", "application/json"}});
        const std::string chunk(64 * 1024, ' ');
        // Far beyond the limit, then an end, so that a reader without one fails here on the
        // outcome (a reply of blanks has no text) rather than on the machine's memory.
        for (int i = 0; i < 4096 && out.writeBody(chunk); ++i) {
        }
    });
    korvu::TextCleaner::Endpoint endpoint;
    endpoint.baseAddress = QString::fromStdString(service.baseUrl()) + QStringLiteral("/v1/");
    std::atomic<bool> cutOff = false;
    Rig rig;
    rig.settings.cleanupOn = true;
    rig.keys.values[korvu::Keychain::Account::anthropicAPIKey] = "sk-test";
    rig.cleanup->service = [endpoint, &cutOff](const QString& text, const QString& key, korvu::CleanupStyle style,
                                                const QStringList& vocabulary) {
        try {
            return korvu::TextCleaner::clean(text, key, style, vocabulary, endpoint);
        } catch (const korvu::ResponseTooLargeError&) {
            cutOff = true;
            throw;
        }
    };
    rig.start();
    rig.press();
    rig.press();
    ASSERT_EQ(rig.speech->calls.size(), 1u);
    rig.speech->answer(QStringLiteral("roher Text"));
    ASSERT_TRUE(testsupport::spinUntil([&] { return rig.phase() == DictationPhase::idle && !rig.hints->shown.empty(); },
                                       std::chrono::seconds(60)));
    EXPECT_TRUE(cutOff);
    const Hint failed{HintKind::warning, "Rohtext eingefügt", "Die KI-Aufbereitung hat nicht geklappt."};
    EXPECT_EQ(rig.hints->shown, std::vector<Hint>{failed});
    EXPECT_EQ(rig.inserter.insertions, (Insertions{{"roher Text", std::nullopt}}));
    EXPECT_EQ(rig.history.records().size(), 1);
}

// The recording clock counts whole seconds from a monotonic clock; a level that arrives
// after the stop does not reach the button. A flash lasts 0.8 s (done) or 1.5 s (error)
// from its own start, and a newer one replaces it.
TEST_F(DictationControllerRig, TheRecordingClockLevelsAndFlashes)
{
    start();
    model.setRecordingSeconds(7);
    press();
    EXPECT_EQ(model.recordingSeconds(), 0);
    scheduler.advance(999ms);
    EXPECT_EQ(model.recordingSeconds(), 0);
    scheduler.advance(61251ms);
    EXPECT_EQ(model.recordingSeconds(), 62);
    recorder->level(0.6f);
    drain();
    EXPECT_FLOAT_EQ(panel->level, 0.6);
    recorder->level(0.9f);  // queued; the stop comes first
    press();
    EXPECT_EQ(panel->level, 0.0);
    scheduler.advance(5000ms);
    EXPECT_EQ(model.recordingSeconds(), 62);  // kept until the next recording
    EXPECT_EQ(scheduler.pendingCount(), 0);

    speech->answer("eins");
    drain();
    EXPECT_EQ(model.flash(), MicButtonState::ok);
    scheduler.advance(799ms);
    EXPECT_EQ(model.flash(), MicButtonState::ok);
    scheduler.advance(1ms);
    EXPECT_FALSE(model.flash().has_value());
    EXPECT_EQ(panel->state, MicButtonState::idle);
    recorder->startError = std::make_exception_ptr(korvu::RecorderError());
    press();
    scheduler.advance(1499ms);
    EXPECT_EQ(model.flash(), MicButtonState::err);
    permissions.trusted = false;
    press();  // an error hint while the flash shows does not restart it
    scheduler.advance(1ms);
    EXPECT_FALSE(model.flash().has_value());
    EXPECT_EQ(panel->state, MicButtonState::idle);
    EXPECT_EQ(hints->shown.size(), 2u);
}

// A start hides the hint that was showing; a tooltip that appeared while the microphone was
// still opening goes when the recording begins.
TEST_F(DictationControllerRig, AStartHidesTheHintAndTheRecordingHidesTheTooltip)
{
    start();
    permissions.trusted = false;
    press();
    ASSERT_EQ(hints->shown.size(), 1u);
    const int hidesBefore = hints->hides;
    permissions.trusted = true;
    press();
    ASSERT_EQ(phase(), DictationPhase::recording);
    EXPECT_EQ(hints->hides, hidesBefore + 1) << "the hint of the failed start stays up";
    press();
    speech->answer("eins");
    ASSERT_TRUE(idleAgain());
    scheduler.advance(800ms);

    focus(100, QRectF(100, 200, 300, 30));
    recorder->holdStarts = true;
    press();
    panel->callbacks.onHoverChange(true);
    scheduler.advance(800ms);
    ASSERT_TRUE(controller->tooltipShown());
    const int hidesWithTooltip = hints->hides;
    recorder->finishStart();
    drain();
    ASSERT_EQ(phase(), DictationPhase::recording);
    EXPECT_EQ(hints->hides, hidesWithTooltip + 1) << "the tooltip stays over the recording";
}

// The engine's voice detector stops a recording of silence before the model runs (the model
// would make a sentence up); a quiet voice in a room with noise still gets through, and the
// transcriber gets exactly the recorded samples.
TEST(DictationController, SilenceGoesNowhereAQuietVoiceIsTranscribed)
{
    testsupport::TempDir folder;
    testsupport::speakToWav("Bitte ruf mich morgen an.", folder / "speech.wav");
    const std::vector<float> speech = testsupport::readWav(folder / "speech.wav").samples;
    ASSERT_EQ(testsupport::runCommand("sox -n -r 16000 -b 16 -c 1 '" + (folder / "room.wav").string() +
                                      "' synth 3 pinknoise vol 0.01"),
              0);
    const std::vector<float> room = testsupport::readWav(folder / "room.wav").samples;
    ASSERT_GE(room.size(), speech.size() + 16000);
    const auto mix = [&](double speechGain, bool withRoom, std::size_t length) {
        std::vector<float> out(length, 0.0f);
        for (std::size_t i = 0; i < length; ++i) {
            if (withRoom) out[i] = room[i];
            // The speaker begins half a second after the press.
            if (speechGain > 0 && i >= 8000 && i - 8000 < speech.size())
                out[i] += static_cast<float>(speechGain * speech[i - 8000]);
        }
        return out;
    };
    struct Case {
        const char* name;
        std::vector<float> samples;
        bool transcribed;
    };
    std::vector<float> click = mix(0, true, 24000);
    for (std::size_t i = 12000; i < 12160; ++i) click[i] = (i % 2 != 0) ? 0.5f : -0.5f;  // a key's click, 10 ms
    std::vector<float> lateRoom(8000, 0.0f);  // half a second of digital silence first
    lateRoom.insert(lateRoom.end(), room.begin(), room.begin() + 24000);
    const Case cases[] = {
        {"digital silence, held 1.5 s", std::vector<float>(24000, 0.0f), false},
        {"a quiet room, held 1.5 s", mix(0, true, 24000), false},
        {"a quiet room and the click of a key", click, false},
        {"a quiet room after the microphone opened late", lateRoom, false},
        {"a loud fan (white noise at -30 dBFS)", testsupport::roomNoise("whitenoise", -30, 1.5), false},
        {"speech", mix(1.0, false, speech.size() + 16000), true},
        {"quiet speech, 6 dB above the room", mix(0.05, true, speech.size() + 16000), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.start();
        rig.recorder->samples = c.samples;
        rig.press();
        rig.press();
        drain();
        if (!c.transcribed) {
            EXPECT_EQ(rig.phase(), DictationPhase::idle);
            EXPECT_TRUE(rig.speech->calls.empty());
            EXPECT_EQ(rig.hints->shown, (std::vector<Hint>{{HintKind::info, "Keine Sprache erkannt",
                                                             "Sprich etwas näher am Mikrofon."}}));
            EXPECT_FALSE(rig.model.flash().has_value());
            EXPECT_TRUE(rig.history.records().empty());
            continue;
        }
        ASSERT_EQ(rig.speech->calls.size(), 1u);
        EXPECT_TRUE(rig.speech->calls[0].samples == c.samples) << "the transcriber got other samples than recorded";
        rig.speech->answer("Bitte ruf mich morgen an.");
        ASSERT_TRUE(rig.idleAgain());
        EXPECT_EQ(rig.inserter.insertions.size(), 1u);
        EXPECT_TRUE(rig.hints->shown.empty());
    }
}

// In a Wayland session the start says once what works there; elsewhere it says nothing.
TEST(DictationController, AWaylandSessionIsToldAtTheStartOnce)
{
    for (const bool wayland : {false, true}) {
        Rig rig;
        rig.permissions.wayland = wayland;
        rig.start();
        const std::vector<Hint> told{{HintKind::info, "Wayland-Sitzung",
                                      "Diktieren klappt in X11-Programmen, per Kurzbefehl solange eines von ihnen die "
                                      "Tastatur hat. Wayland-Fenster erreichen weder Text noch Kurzbefehl."}};
        EXPECT_EQ(rig.hints->shown, wayland ? told : std::vector<Hint>{});
        rig.focus(100, QRectF(10, 10, 300, 30));
        rig.controller->updatePanel();
        EXPECT_EQ(rig.hints->shown.size(), wayland ? 1u : 0u);
    }
}

TEST(DictationController, StartLoadsTheModelWhenPresentOrAfterOnboardingAndShowsItsState)
{
    for (const auto& [present, onboarded, loads] : {std::tuple{false, false, 0}, {true, false, 1}, {false, true, 1}}) {
        Rig rig;
        rig.speech->present = present;
        rig.settings.onboarded = onboarded;
        rig.start(false);
        EXPECT_EQ(rig.speech->loads, loads);
        rig.speech->onState(ModelState::downloading(0.5));
        EXPECT_EQ(rig.panel->state, MicButtonState::load(0.5));
        EXPECT_EQ(rig.model.model(), ModelState::downloading(0.5));
    }
}

}  // namespace
}  // namespace dictationtest

// One dictation after another through the application's real parts, as a user meets them:
// Ctrl+Alt+Space pressed with XTest, espeak-ng speech in the virtual microphone, the
// scripted speech model, the vocabulary's spelling, the paste into a second program and
// the user's clipboard put back afterwards; then the add-word shortcut and its D-Bus entry.
#include "Recorder/AudioFeed.h"
#include "X11/X11TestSupport.h"

#include "KorvuDarivir/App/SingleInstance.h"
#include "KorvuDarivir/Dictation/ButtonPlacement.h"
#include "KorvuDarivir/Dictation/DictationController.h"
#include "KorvuDarivir/Dictation/HotkeyCenter.h"
#include "KorvuDarivir/Store/Permissions.h"
#include "KorvuDarivir/Dictation/TextCleaner.h"
#include "KorvuDarivir/Dictation/Transcriber.h"
#include "KorvuDarivir/Dictation/VocabularyCapture.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/KeyStore.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Store/Vocabulary.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Input/RunningApplications.h"
#include "Platform/Permissions/AccessibilityTrust.h"
#include "Platform/UI/ScreenCoordinates.h"
#include "TestPaths.h"
#include "fakes/FakeSyntheticKeyboard.h"
#include "support/ForwardingSpeech.h"
#include "support/Speech.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"

#include <QClipboard>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <memory>

namespace {

using namespace x11test;
using korvu::AppModel;
using korvu::DictationController;
using korvu::DictationPhase;
using korvu::Hint;
using korvu::HintKind;

// What the scripted model says, and what the dictation makes of it with the vocabulary.
const char* const kSpoken = " Wir testen heute korvu darivir im Büro.";
const QString kTyped = QStringLiteral("Wir testen heute KORVU Darivir im Büro.");
const QString kTerm = QStringLiteral("KORVU Darivir");

// Notes every hint and passes it on to the real display.
class WatchedHints final : public korvu::HintDisplay {
public:
    explicit WatchedHints(std::unique_ptr<HintDisplay> inner) : inner_(std::move(inner)) {}
    void show(const Hint& hint, const std::optional<QRectF>& anchor) override
    {
        shown.push_back(hint);
        inner_->show(hint, anchor);
    }
    void showTooltip(const QString& text, const QRectF& anchor) override { inner_->showTooltip(text, anchor); }
    void hide() override { inner_->hide(); }
    std::vector<Hint> shown;

private:
    std::unique_ptr<HintDisplay> inner_;
};

// Passes everything to the application's transcriber and keeps the samples it was given.
class HeardSpeech final : public testsupport::ForwardingSpeech {
public:
    using ForwardingSpeech::ForwardingSpeech;
    void transcribe(std::vector<float> samples, const std::optional<QString>& language, const QStringList& vocabulary,
                    korvu::Transcriber::Completion done) override
    {
        heard.push_back(samples);
        ForwardingSpeech::transcribe(std::move(samples), language, vocabulary, std::move(done));
    }
    std::vector<std::vector<float>> heard;
};

// The longest gap between the ticks of a 20 ms timer on the main thread: how long the
// event loop stood still.
class StallWatch {
public:
    StallWatch()
    {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const auto now = std::chrono::steady_clock::now();
            longest = std::max(longest, now - last_);
            last_ = now;
        });
        last_ = std::chrono::steady_clock::now();
        timer_.start();
    }
    std::chrono::steady_clock::duration longest{};

private:
    QTimer timer_;
    std::chrono::steady_clock::time_point last_;
};

const std::vector<float>& spokenSamples()
{
    static const std::vector<float> speech = [] {
        testsupport::TempDir folder;
        testsupport::speakToWav("Wir testen heute Korvu Darivir im Büro.", folder / "speech.wav");
        return testsupport::readWav(folder / "speech.wav").samples;
    }();
    return speech;
}

template <typename Environment>
WatchedHints* watchHints(Environment& environment)
{
    auto watched = std::make_unique<WatchedHints>(std::move(environment.hints));
    WatchedHints* result = watched.get();
    environment.hints = std::move(watched);
    return result;
}

void setDefault(const char* key, const QVariant& value)
{
    platform::UserDefaults::standard().set(QString::fromLatin1(key), value);
}

DictationPhase phase() { return AppModel::shared().phase(); }

class DictationRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(recordertest::sessionFifo().empty()) << "run inside scripts/with-test-session.sh";
        platform::AccessibilityTrust::shared().requestEnabled();
        ASSERT_TRUE(spinUntil([] { return korvu::Permissions::isAccessibilityTrusted(); }));
        AppModel::shared().setAccessibilityGranted(true);
        korvu::Settings::registerDefaults();
        setDefault(korvu::Settings::vocabularyKey, QStringList{kTerm});
        ASSERT_TRUE(target.start());
    }
    void TearDown() override { keys.releaseAll(); }

    // The application's controller on the desktop's parts, with the scripted model where
    // the transcriber looks for it.
    void startController(DictationController::Cleanup cleanup = {})
    {
        const std::filesystem::path folder = korvu::Transcriber::modelDirectory();
        std::filesystem::create_directories(folder.parent_path());
        ASSERT_EQ(testsupport::runCommand(std::string(testsupport::kBinDir) + "/darivir-model scripted --language de --out '"
                                          + folder.string() + "' --text '" + kSpoken + "' >/dev/null"),
                  0);
        DictationController::Environment environment = DictationController::desktopEnvironment();
        auto heardSpeech = std::make_unique<HeardSpeech>(std::move(environment.speech));
        speech = heardSpeech.get();
        environment.speech = std::move(heardSpeech);
        panel = environment.panel.get();
        hints = watchHints(environment);
        if (cleanup) environment.cleanup = std::move(cleanup);
        controller = std::make_unique<DictationController>(std::move(environment));
        korvu::HotkeyCenter::shared().install();
        controller->start();
        ASSERT_TRUE(spinUntil([] { return AppModel::shared().model() == korvu::ModelState::ready; }))
            << "the scripted model did not load";
    }

    // One dictation by the shortcut: held down while speaking, or pressed twice.
    void dictate(bool holdToTalk, const std::vector<float>& speech = spokenSamples())
    {
        setDefault(korvu::Settings::holdToTalkKey, holdToTalk);
        keys.press(kControlL);
        keys.press(kAltL);
        keys.press(kSpace);
        if (!holdToTalk) keys.releaseAll();
        ASSERT_TRUE(spinUntil([] { return phase() == DictationPhase::recording; }));
        recordertest::FifoFeed(recordertest::sessionFifo(), speech, 1);
        spinFor(300ms);  // what the sound server still holds reaches the recorder
        if (!holdToTalk) keys.tap({kControlL, kAltL, kSpace});
        keys.releaseAll();
        ASSERT_TRUE(spinUntil([] { return phase() != DictationPhase::recording; }));
        ASSERT_TRUE(spinUntil([] { return phase() == DictationPhase::idle; }));
    }

    KeyboardDriver keys;
    TargetApp target;
    std::unique_ptr<DictationController> controller;
    DictationController::ButtonPanel* panel = nullptr;
    WatchedHints* hints = nullptr;
    HeardSpeech* speech = nullptr;
};

TEST_F(DictationRoad, HoldAndToggleTypeTheSentenceBesideTheButton)
{
    startController();
    // The button stands beside the line edit (the face's lower-left corner in y-up space).
    const QPointF beside = korvu::ButtonPlacement::besideField(platform::ScreenCoordinates::fromQt(target.editFrame()));
    ASSERT_TRUE(spinUntil([&] { return panel->isVisible() && panel->frame().topLeft() + QPointF(6, 6) == beside; }))
        << "the button is at " << panel->frame().x() << ", " << panel->frame().y();
    ASSERT_TRUE(target.call("own-clipboard", QStringLiteral("Vorher kopiert")));

    // Last, held, a sentence through a noise suppressor's voice threshold (10 dB below the
    // speech), which sets the pauses between words and inside them to exact zeros.
    const std::vector<float> gated = [] {
        testsupport::TempDir folder;
        testsupport::speakToWav("Ich habe die Datei gespeichert.", folder / "speech.wav");
        return testsupport::throughGate(testsupport::readWav(folder / "speech.wav").samples, -31, 20);
    }();
    for (const auto& [holdToTalk, said] : {std::pair{true, &spokenSamples()}, {false, &spokenSamples()}, {true, &gated}}) {
        SCOPED_TRACE(std::string(holdToTalk ? "hold to talk" : "toggle") + (said == &gated ? ", through a gate" : ""));
        ASSERT_TRUE(target.call("set", QString()));
        const auto records = korvu::HistoryStore::shared().records().size();
        dictate(holdToTalk, *said);
        ASSERT_TRUE(spinUntil([&] { return target.text() == kTyped; })) << target.text().toStdString();
        EXPECT_TRUE(hints->shown.empty());

        // The transcriber got the speech that went into the microphone, whole: as many
        // samples (within 5 %), and the same waveform.
        ASSERT_FALSE(speech->heard.empty());
        const std::vector<float>& heard = speech->heard.back();
        const auto played = static_cast<double>(said->size());
        EXPECT_NEAR(static_cast<double>(heard.size()), played, 0.05 * played);
        const recordertest::Alignment alignment = recordertest::align(*said, heard);
        EXPECT_GT(alignment.correlation, 0.9) << "at offset " << alignment.offset;

        const auto application = platform::RunningApplications::desktop().application(target.pid());
        ASSERT_TRUE(application.has_value());
        EXPECT_FALSE(application->name.isEmpty());
        ASSERT_EQ(korvu::HistoryStore::shared().records().size(), records + 1);
        const korvu::DictationRecord& record = korvu::HistoryStore::shared().records().front();
        EXPECT_EQ(record.text, kTyped);
        EXPECT_EQ(record.appName, application->name);
        EXPECT_EQ(AppModel::shared().lastInsert(), (korvu::LastInsert{7, application->name}));
        EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("Vorher kopiert"));
    }
}

// Steady room noise in the microphone, in either mode, is no dictation: the model is never
// asked (it would make a sentence up), nothing is typed or kept, and the user is told. A
// microphone that opens late gives digital silence before the sound (the virtual one
// delivers only what is fed, so the silence is fed too): a rumble or a hum after it is no
// more a voice than hiss is.
TEST_F(DictationRoad, RoomNoiseIsNoDictation)
{
    startController();
    ASSERT_TRUE(target.call("set", QString()));
    const auto records = korvu::HistoryStore::shared().records().size();
    struct Case {
        bool holdToTalk;
        const char* kind;
        double level;
        int silence;  // milliseconds before the sound
    };
    for (const Case& c : {Case{true, "pinknoise", -50, 0}, Case{false, "whitenoise", -30, 0},
                          Case{true, "brownnoise", -60, 500}, Case{false, "brownnoise", -40, 500},
                          Case{false, "sine 120", -50, 500},
                          // A quiet room's rumble right at the level of digital silence.
                          Case{false, "brownnoise", -81, 500}, Case{true, "brownnoise", -83, 1000}}) {
        SCOPED_TRACE(std::string(c.holdToTalk ? "hold to talk, " : "toggle, ") + c.kind + " at " +
                     std::to_string(int(c.level)) + " dBFS after " + std::to_string(c.silence) + " ms of digital silence");
        hints->shown.clear();
        std::vector<float> sound(static_cast<std::size_t>(c.silence) * 16, 0.0f);
        const std::vector<float> noise = testsupport::roomNoise(c.kind, c.level, 3);
        sound.insert(sound.end(), noise.begin(), noise.end());
        dictate(c.holdToTalk, sound);
        EXPECT_EQ(hints->shown, (std::vector<Hint>{{HintKind::info, QStringLiteral("Keine Sprache erkannt"),
                                                    QStringLiteral("Sprich etwas näher am Mikrofon.")}}));
        EXPECT_TRUE(speech->heard.empty());
        EXPECT_EQ(korvu::HistoryStore::shared().records().size(), records);
    }
    spinFor(500ms);  // time for a paste, had one started
    EXPECT_TRUE(target.text().isEmpty()) << target.text().toStdString();
}

// Escape while the shortcut is still held (Ctrl and Alt down) throws the recording away:
// nothing is transcribed or typed, and letting go afterwards changes nothing.
TEST_F(DictationRoad, EscapeWhileTheShortcutIsHeldDiscardsTheRecording)
{
    startController();
    ASSERT_TRUE(target.call("set", QString()));
    const auto records = korvu::HistoryStore::shared().records().size();
    setDefault(korvu::Settings::holdToTalkKey, true);
    keys.press(kControlL);
    keys.press(kAltL);
    keys.press(kSpace);
    ASSERT_TRUE(spinUntil([] { return phase() == DictationPhase::recording; }));
    recordertest::FifoFeed(recordertest::sessionFifo(), spokenSamples(), 1);
    keys.press(kEscape);
    ASSERT_TRUE(spinUntil([] { return phase() == DictationPhase::idle; })) << "Escape did not cancel";
    keys.releaseAll();
    spinFor(1500ms);  // time for a transcription and a paste, had one started
    EXPECT_EQ(phase(), DictationPhase::idle);
    EXPECT_TRUE(speech->heard.empty());
    EXPECT_TRUE(target.text().isEmpty()) << target.text().toStdString();
    EXPECT_EQ(korvu::HistoryStore::shared().records().size(), records);
    EXPECT_TRUE(hints->shown.empty());
}

// A program that owns the clipboard and never answers: the snapshot before the paste asks
// it off the main thread, so the event loop goes on (a 20 ms timer keeps ticking) and the
// text still arrives.
TEST_F(DictationRoad, AClipboardOwnerThatNeverAnswersStallsNothing)
{
    startController();
    ASSERT_TRUE(target.call("set", QString()));
    HungClipboardOwner hung;
    StallWatch watch;
    dictate(false);
    ASSERT_TRUE(spinUntil([&] { return target.text() == kTyped; })) << target.text().toStdString();
    // Qt alone waits 5 s for an owner that does not answer; a loaded machine may pause the
    // loop for a moment, never for seconds.
    EXPECT_LT(watch.longest, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(watch.longest).count()
                                 << " ms without a turn of the event loop";
}

TEST_F(DictationRoad, CleanupAnswerIsWhatGetsTyped)
{
    const std::string answer = "Wir testen heute KORVU Darivir – im Büro!";
    testsupport::TestHttpServer server([&](const testsupport::HttpRequest&, testsupport::HttpResponder& responder) {
        const nlohmann::json reply{{"content", {{{"type", "text"}, {"text", answer}}}}, {"stop_reason", "end_turn"}};
        responder.respond(200, {{"Content-Type", "application/json"}}, reply.dump());
    });
    std::optional<bool> stored;
    korvu::KeyStore::desktop().write(QStringLiteral("sk-road-test"), korvu::Keychain::Account::anthropicAPIKey,
                                     QCoreApplication::instance(), [&](bool ok) { stored = ok; });
    ASSERT_TRUE(spinUntil([&] { return stored.has_value(); }));
    ASSERT_TRUE(*stored);
    setDefault(korvu::Settings::cleanupEnabledKey, true);
    korvu::TextCleaner::Endpoint endpoint;
    endpoint.baseAddress = QString::fromStdString(server.baseUrl()) + "/v1/";
    startController([endpoint](const QString& text, const QString& key, korvu::CleanupStyle style,
                               const QStringList& vocabulary) {
        return korvu::TextCleaner::clean(text, key, style, vocabulary, endpoint);
    });

    dictate(false);
    ASSERT_TRUE(spinUntil([&] { return target.text() == QString::fromStdString(answer); })) << target.text().toStdString();
    EXPECT_TRUE(hints->shown.empty());
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("x-api-key"), "sk-road-test");
    EXPECT_NE(requests[0].body.find(kTyped.toStdString()), std::string::npos);
    EXPECT_EQ(korvu::HistoryStore::shared().records().front().text, QString::fromStdString(answer));
}

TEST_F(DictationRoad, AddWordByShortcutAndOverDBus)
{
    const auto vocabulary = [] { return korvu::Vocabulary::terms(); };
    ASSERT_TRUE(target.call("set", QStringLiteral("Morgen kommt Frau Wojciechowska vorbei.")));

    // The shortcut reads the selection over the accessibility bus; the copy fallback is
    // cut off here (a keyboard that types nothing), so only that path can find it.
    korvu::VocabularyCapture::Environment environment = korvu::VocabularyCapture::desktopEnvironment();
    WatchedHints* shown = watchHints(environment);
    fakes::FakeSyntheticKeyboard silentKeyboard;
    silentKeyboard.available = false;
    environment.keyboard = &silentKeyboard;
    korvu::VocabularyCapture capture(std::move(environment));
    korvu::HotkeyCenter::shared().install();
    capture.start();
    ASSERT_TRUE(target.call("select", QStringLiteral("Wojciechowska")));
    keys.tap({kControlL, kAltL, kW});
    ASSERT_TRUE(spinUntil([&] { return !shown->shown.empty(); }));
    EXPECT_EQ(shown->shown.back(), (Hint{HintKind::info, QStringLiteral("Zum Wörterbuch hinzugefügt"),
                                         QStringLiteral("„Wojciechowska“")}));
    EXPECT_EQ(vocabulary(), (QStringList{kTerm, "Wojciechowska"}));

    // Without the accessibility service's answer: Ctrl+C into the target, and the user's
    // clipboard (owned by the target) comes back afterwards.
    korvu::VocabularyCapture::Environment copying = korvu::VocabularyCapture::desktopEnvironment();
    copying.accessibleSelection = [] { return std::optional<QString>(); };
    korvu::VocabularyCapture copyCapture(std::move(copying));
    ASSERT_TRUE(target.call("own-clipboard", QStringLiteral("Vorher kopiert")));
    ASSERT_TRUE(target.call("select", QStringLiteral("vorbei")));
    std::optional<Hint> copied;
    copyCapture.addSelection([&](const Hint& hint) { copied = hint; });
    ASSERT_TRUE(spinUntil([&] { return copied.has_value(); }));
    EXPECT_EQ(copied->detail, QStringLiteral("„vorbei“"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("Vorher kopiert"));
    EXPECT_EQ(vocabulary(), (QStringList{kTerm, "Wojciechowska", "vorbei"}));

    // Other programs: the application's session-bus entry, as "korvu-darivir --add-word"
    // and desktop shortcuts call it, reaches the same capture.
    korvu::SingleInstance instance;
    ASSERT_FALSE(instance.otherInstanceRunning());
    instance.onAddWord = [&capture](const QString& text) -> std::optional<QString> {
        capture.addToVocabulary(text);
        return std::nullopt;
    };
    EXPECT_TRUE(runTool("dbus-send", {"--session", "--print-reply", "--dest=de.korvu.darivir", "/de/korvu/darivir",
                                      "de.korvu.darivir.Application.AddToVocabulary", "string:  (Hochdruck-Reiniger), "})
                    .startsWith("method return"));
    EXPECT_EQ(shown->shown.back(), (Hint{HintKind::info, QStringLiteral("Zum Wörterbuch hinzugefügt"),
                                         QStringLiteral("„Hochdruck-Reiniger“")}));
    EXPECT_EQ(vocabulary(), (QStringList{kTerm, "Wojciechowska", "vorbei", "Hochdruck-Reiniger"}));
}

// The program itself, as a user starts it: a home of its own with the scripted model in
// place and onboarding done, the desktop's accessibility switched on (nothing granted from
// inside), its own shortcut, microphone, transcription and paste into the target program.
TEST(DictationProgram, TheStartedProgramTypesWhatWasSaid)
{
    ASSERT_FALSE(recordertest::sessionFifo().empty()) << "run inside scripts/with-test-session.sh";
    const testsupport::TempDir home;
    const std::filesystem::path config = home / "config", data = home / "data", cache = home / "cache";
    for (const auto& folder : {config / "KORVU Darivir", data, cache}) std::filesystem::create_directories(folder);
    const std::filesystem::path modelFolder =
        data / "KORVU Darivir" / korvu::Transcriber::modelDirectory().lexically_relative(korvu::Settings::supportDirectory());
    std::filesystem::create_directories(modelFolder.parent_path());
    ASSERT_EQ(testsupport::runCommand(std::string(testsupport::kBinDir) + "/darivir-model scripted --language de --out '"
                                      + modelFolder.string() + "' --text '" + kSpoken + "' >/dev/null"),
              0);
    const QString settingsPath = QString::fromStdString((config / "KORVU Darivir" / "settings.json").string());
    {
        QFile settings(settingsPath);
        ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
        const QJsonObject values{{"onboardingCompleted", true}, {"holdToTalk", true}, {"vocabulary", QJsonArray{kTerm}}};
        settings.write(QJsonDocument(values).toJson());
    }
    const auto stored = [&settingsPath] {
        QFile settings(settingsPath);
        return settings.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(settings.readAll()).object() : QJsonObject();
    };
    // The desktop's accessibility switch, as its settings program sets it.
    runTool("dbus-send", {"--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                          "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
                          "variant:boolean:true"});

    TargetApp target;
    ASSERT_TRUE(target.start());
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    environment.remove("OMP_WAIT_POLICY");
    environment.insert("HOME", QString::fromStdString(home.path().string()));
    environment.insert("XDG_CONFIG_HOME", QString::fromStdString(config.string()));
    environment.insert("XDG_DATA_HOME", QString::fromStdString(data.string()));
    environment.insert("XDG_CACHE_HOME", QString::fromStdString(cache.string()));
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(QString(testsupport::kBinDir) + "/korvu-darivir", {});
    ASSERT_TRUE(program.waitForStarted());
    // However the case ends, the program does not outlive it.
    const std::unique_ptr<QProcess, void (*)(QProcess*)> stopper(&program, [](QProcess* started) {
        if (started->state() == QProcess::NotRunning) return;
        started->kill();
        started->waitForFinished(10000);
    });
    ASSERT_TRUE(spinUntil([&] { return stored().value("modelPrepared").toBool(); })) << "the model did not load";
    // Without a tray the program opens its settings window; the user goes back to the target
    // once it shows, and dictates when the target has the keyboard.
    spinUntil([] { return runTool("xdotool", {"search", "--onlyvisible", "--name", "KORVU Darivir"}).size() > 0; }, 30s);
    const QByteArray targetPid = QByteArray::number(static_cast<qint64>(target.pid()));
    ASSERT_TRUE(spinUntil([&] {
        target.call("activate");
        return runTool("xdotool", {"getwindowfocus", "getwindowpid"}).trimmed() == targetPid;
    }, 60s)) << "the target did not get the keyboard back";

    KeyboardDriver keys;
    keys.press(kControlL);
    keys.press(kAltL);
    keys.press(kSpace);
    // The program records once its own stream shows up at the sound server; the session's
    // virtual source keeps a stream of its own open there, so the list is never empty.
    const QByteArray ownStream = "application.process.id = \"" + QByteArray::number(program.processId()) + "\"";
    const bool recording = spinUntil(
        [&ownStream] { return runTool("pactl", {"list", "source-outputs"}).contains(ownStream); }, 30s);
    if (recording) {
        recordertest::FifoFeed(recordertest::sessionFifo(), spokenSamples(), 1);
        spinFor(300ms);  // what the sound server still holds reaches the recorder
    }
    keys.releaseAll();
    ASSERT_TRUE(recording) << "the shortcut started no recording";
    const QString historyPath = QString::fromStdString((data / "KORVU Darivir" / "Verlauf.json").string());
    const auto records = [&historyPath] {
        QFile history(historyPath);
        return history.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(history.readAll()).array() : QJsonArray();
    };
    EXPECT_TRUE(spinUntil([&] { return target.text() == kTyped; })) << target.text().toStdString();
    // The history record is on disk by the time the text shows in the target (written as
    // the paste goes out, not after the clipboard's restore), so a kill right after the
    // text appeared loses nothing.
    ASSERT_EQ(records().size(), 1) << "the text is there, its record is not";
    EXPECT_EQ(records()[0].toObject().value("text").toString(), kTyped);

    ::kill(static_cast<pid_t>(program.processId()), SIGTERM);
    ASSERT_TRUE(program.waitForFinished(30000));
    EXPECT_EQ(program.exitCode(), 0);
}

}  // namespace

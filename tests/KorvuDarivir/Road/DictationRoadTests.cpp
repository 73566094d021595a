// One dictation after another through the application's real parts, as a user meets them:
// Ctrl+Alt+Space pressed with XTest, espeak-ng speech in the virtual microphone, the
// scripted speech model, the vocabulary's spelling, the paste into a second program and
// the user's clipboard put back afterwards; then the add-word shortcut and its D-Bus entry.
#include "Recorder/AudioFeed.h"
#include "X11/X11TestSupport.h"

#include "KorvuDarivir/Dictation/ButtonPlacement.h"
#include "KorvuDarivir/Dictation/DictationController.h"
#include "KorvuDarivir/Dictation/HotkeyCenter.h"
#include "KorvuDarivir/Dictation/Permissions.h"
#include "KorvuDarivir/Dictation/TextCleaner.h"
#include "KorvuDarivir/Dictation/Transcriber.h"
#include "KorvuDarivir/Dictation/VocabularyCapture.h"
#include "KorvuDarivir/App/SingleInstance.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/KeyStore.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/Store/Vocabulary.h"
#include "Platform/Defaults/UserDefaults.h"
#include "Platform/Input/RunningApplications.h"
#include "Platform/Permissions/AccessibilityTrust.h"
#include "Platform/UI/ScreenCoordinates.h"
#include "TestPaths.h"
#include "support/Speech.h"
#include "support/TempDir.h"
#include "support/TestHttpServer.h"
#include "fakes/FakeSyntheticKeyboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QProcess>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <deque>
#include <filesystem>
#include <memory>

namespace {

using namespace std::chrono_literals;
using korvu::DictationController;
using korvu::DictationPhase;
using korvu::Hint;
using korvu::HintKind;

// What the scripted model says, and what the dictation makes of it with the vocabulary.
const char* const kSpoken = " Wir testen heute korvu darivir im Büro.";
const QString kTyped = QStringLiteral("Wir testen heute KORVU Darivir im Büro.");
const QString kTerm = QStringLiteral("KORVU Darivir");

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 120s)
{
    return x11test::waitUntil(condition, limit);
}

// The program that receives the text (RoadTarget.cc).
class Target {
public:
    Target()
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] {
            while (process_.canReadLine()) {
                const QByteArray line = process_.readLine().trimmed();
                if (line.startsWith("TEXT")) {
                    text = QString::fromUtf8(QByteArray::fromBase64(line.mid(5)));
                } else {
                    answers.push_back(line);
                }
            }
        });
        process_.start(QString(testsupport::kBinDir) + "/korvu-test-road-target", {});
    }

    ~Target()
    {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    // Waits for the answer that starts with `word`; returns its other words.
    std::optional<QList<QByteArray>> await(const QByteArray& word)
    {
        std::optional<QList<QByteArray>> found;
        waitFor([&] {
            while (!answers.empty()) {
                QList<QByteArray> words = answers.front().split(' ');
                answers.pop_front();
                if (words.value(0) == word) {
                    words.removeFirst();
                    found = words;
                    return true;
                }
            }
            return process_.state() == QProcess::NotRunning;
        });
        return found;
    }

    void send(const QByteArray& command, const QString& argument)
    {
        process_.write(command + ' ' + argument.toUtf8().toBase64() + '\n');
    }

    std::int64_t pid = 0;
    QRectF editFrame;  // Qt coordinates
    QString text;
    std::deque<QByteArray> answers;

    bool start()
    {
        const auto ready = await("READY");
        if (!ready || ready->size() != 5) {
            return false;
        }
        pid = ready->at(0).toLongLong();
        editFrame = QRectF(ready->at(1).toDouble(), ready->at(2).toDouble(), ready->at(3).toDouble(),
                           ready->at(4).toDouble());
        return true;
    }

private:
    QProcess process_;
};

// Records where the controller put the button, and passes everything on to the real one.
class WatchedPanel final : public DictationController::ButtonPanel {
public:
    explicit WatchedPanel(std::unique_ptr<ButtonPanel> inner) : inner_(std::move(inner)) {}
    void setCallbacks(Callbacks callbacks) override { inner_->setCallbacks(std::move(callbacks)); }
    void setState(const korvu::MicButtonState& state) override { inner_->setState(state); }
    void setInputLevel(double level) override { inner_->setInputLevel(level); }
    bool isVisible() const override { return visible_; }
    void orderOut() override
    {
        visible_ = false;
        inner_->orderOut();
    }
    void place(const QPointF& origin) override
    {
        visible_ = true;
        places.push_back(origin);
        inner_->place(origin);
    }
    QRectF frame() const override { return inner_->frame(); }
    std::optional<QPointF> standardOrigin() const override { return inner_->standardOrigin(); }
    void setStandardOrigin(const std::optional<QPointF>& origin) override { inner_->setStandardOrigin(origin); }

    std::vector<QPointF> places;

private:
    std::unique_ptr<ButtonPanel> inner_;
    bool visible_ = false;
};

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

void setDefault(const char* key, const QVariant& value)
{
    platform::UserDefaults::standard().set(QString::fromLatin1(key), value);
}

// The session's accessibility bus switched on and seen as trusted.
bool trustAccessibility()
{
    platform::AccessibilityTrust::shared().requestEnabled();
    return waitFor([] { return korvu::Permissions::isAccessibilityTrusted(); }, 30s);
}

class DictationRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(recordertest::sessionFifo().empty()) << "run inside scripts/with-test-session.sh";
        ASSERT_TRUE(keyboard.connected());
        ASSERT_TRUE(trustAccessibility());
        korvu::AppModel::shared().setAccessibilityGranted(true);
        korvu::Settings::registerDefaults();
        setDefault(korvu::Settings::vocabularyKey, QStringList{kTerm});
        ASSERT_TRUE(target.start());
    }

    // Writes the scripted model where the transcriber looks for it.
    static void writeModel()
    {
        const std::filesystem::path folder = korvu::Transcriber::modelDirectory();
        if (std::filesystem::exists(folder)) {
            return;
        }
        std::filesystem::create_directories(folder.parent_path());
        const std::string command = std::string(testsupport::kBinDir) + "/darivir-model scripted --language de --out '"
            + folder.string() + "' --text '" + kSpoken + "' >/dev/null";
        ASSERT_EQ(testsupport::runCommand(command), 0);
    }

    // The application's controller on the desktop's parts, with the button and hints watched.
    void startController(DictationController::Cleanup cleanup = {})
    {
        writeModel();
        DictationController::Environment environment = DictationController::desktopEnvironment();
        auto watchedPanel = std::make_unique<WatchedPanel>(std::move(environment.panel));
        auto watchedHints = std::make_unique<WatchedHints>(std::move(environment.hints));
        panel = watchedPanel.get();
        hints = watchedHints.get();
        environment.panel = std::move(watchedPanel);
        environment.hints = std::move(watchedHints);
        if (cleanup) {
            environment.cleanup = std::move(cleanup);
        }
        controller = std::make_unique<DictationController>(std::move(environment));
        korvu::HotkeyCenter::shared().install();
        controller->start();
        ASSERT_TRUE(waitFor([] { return korvu::AppModel::shared().model() == korvu::ModelState::ready; }))
            << "the scripted model did not load";
    }

    static const std::vector<float>& speech()
    {
        static const std::vector<float> samples = [] {
            testsupport::TempDir folder;
            testsupport::speakToWav("Wir testen heute Korvu Darivir im Büro.", folder / "speech.wav");
            return testsupport::readWav(folder / "speech.wav").samples;
        }();
        return samples;
    }

    void chord(bool down, std::uint8_t key)
    {
        if (down) {
            keyboard.press(x11test::kControlL);
            keyboard.press(x11test::kAltL);
            keyboard.press(key);
        } else {
            keyboard.release(key);
            keyboard.release(x11test::kAltL);
            keyboard.release(x11test::kControlL);
        }
    }

    static DictationPhase phase() { return korvu::AppModel::shared().phase(); }

    // One dictation by the shortcut: held down while speaking, or pressed twice.
    void dictate(bool holdToTalk)
    {
        setDefault(korvu::Settings::holdToTalkKey, holdToTalk);
        chord(true, x11test::kSpace);
        if (!holdToTalk) {
            chord(false, x11test::kSpace);
        }
        ASSERT_TRUE(waitFor([] { return phase() == DictationPhase::recording; }, 30s));
        {
            recordertest::FifoFeed feed(recordertest::sessionFifo(), speech(), 1);
        }
        x11test::spin(300ms);  // what the sound server still holds reaches the recorder
        if (holdToTalk) {
            chord(false, x11test::kSpace);
        } else {
            chord(true, x11test::kSpace);
            chord(false, x11test::kSpace);
        }
        ASSERT_TRUE(waitFor([] { return phase() != DictationPhase::recording; }, 30s));
        ASSERT_TRUE(waitFor([] { return phase() == DictationPhase::idle; }));
    }

    // The button stood beside the line edit (the face's corner in y-up space).
    void expectButtonBesideTheField()
    {
        const QRectF field = platform::ScreenCoordinates::fromQt(target.editFrame);
        const QPointF beside = korvu::ButtonPlacement::besideField(field);
        EXPECT_NE(std::find(panel->places.begin(), panel->places.end(), beside), panel->places.end())
            << "expected (" << beside.x() << ", " << beside.y() << ") among " << panel->places.size() << " places";
    }

    x11test::KeyboardDriver keyboard;
    Target target;
    std::unique_ptr<DictationController> controller;
    WatchedPanel* panel = nullptr;
    WatchedHints* hints = nullptr;
};

TEST_F(DictationRoad, HoldAndToggleTypeTheSentenceBesideTheButton)
{
    startController();
    ASSERT_TRUE(waitFor([&] { return !panel->places.empty(); }, 30s)) << "the focused field was never reported";
    target.send("own-clipboard", QStringLiteral("Vorher kopiert"));
    ASSERT_TRUE(target.await("OWNED"));

    for (const bool holdToTalk : {true, false}) {
        SCOPED_TRACE(holdToTalk ? "hold to talk" : "toggle");
        target.send("set", QString());
        ASSERT_TRUE(waitFor([&] { return target.text.isEmpty(); }, 30s));
        const auto records = korvu::HistoryStore::shared().records().size();
        dictate(holdToTalk);
        ASSERT_TRUE(waitFor([&] { return target.text == kTyped; }, 30s)) << target.text.toStdString();
        EXPECT_TRUE(hints->shown.empty());

        const auto application = platform::RunningApplications::desktop().application(target.pid);
        ASSERT_TRUE(application.has_value());
        ASSERT_EQ(korvu::HistoryStore::shared().records().size(), records + 1);
        const korvu::DictationRecord& record = korvu::HistoryStore::shared().records().front();
        EXPECT_EQ(record.text, kTyped);
        EXPECT_FALSE(application->name.isEmpty());
        EXPECT_EQ(record.appName, application->name);
        EXPECT_EQ(korvu::AppModel::shared().lastInsert(), (korvu::LastInsert{7, application->name}));
        EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("Vorher kopiert"));
    }
    expectButtonBesideTheField();
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
    ASSERT_TRUE(waitFor([&] { return stored.has_value(); }, 30s));
    ASSERT_TRUE(*stored);
    setDefault(korvu::Settings::cleanupEnabledKey, true);
    korvu::TextCleaner::Endpoint endpoint;
    endpoint.baseAddress = QString::fromStdString(server.baseUrl()) + "/v1/";
    startController([endpoint](const QString& text, const QString& key, korvu::CleanupStyle style,
                               const QStringList& vocabulary) {
        return korvu::TextCleaner::clean(text, key, style, vocabulary, endpoint);
    });

    dictate(false);
    ASSERT_TRUE(waitFor([&] { return target.text == QString::fromStdString(answer); }, 30s)) << target.text.toStdString();
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
    target.send("set", QStringLiteral("Morgen kommt Frau Wojciechowska vorbei."));
    ASSERT_TRUE(waitFor([&] { return target.text.contains("Wojciechowska"); }, 30s));

    // The shortcut reads the selection over the accessibility bus; the copy fallback is
    // cut off here (a keyboard that types nothing), so only that path can find it.
    korvu::VocabularyCapture::Environment environment = korvu::VocabularyCapture::desktopEnvironment();
    auto watched = std::make_unique<WatchedHints>(std::move(environment.hints));
    WatchedHints* shown = watched.get();
    environment.hints = std::move(watched);
    fakes::FakeSyntheticKeyboard silentKeyboard;
    silentKeyboard.available = false;
    environment.keyboard = &silentKeyboard;
    korvu::VocabularyCapture capture(std::move(environment));
    korvu::HotkeyCenter::shared().install();
    capture.start();
    target.send("select", QStringLiteral("Wojciechowska"));
    ASSERT_TRUE(target.await("SELECTED"));
    chord(true, x11test::kW);
    chord(false, x11test::kW);
    ASSERT_TRUE(waitFor([&] { return !shown->shown.empty(); }, 30s));
    EXPECT_EQ(shown->shown.back(), (Hint{HintKind::info, QStringLiteral("Zum Wörterbuch hinzugefügt"),
                                         QStringLiteral("„Wojciechowska“")}));
    EXPECT_EQ(vocabulary(), (QStringList{kTerm, "Wojciechowska"}));

    // Without the accessibility service's answer: Ctrl+C into the target, and the user's
    // clipboard (owned by the target) comes back afterwards.
    korvu::VocabularyCapture::Environment copying = korvu::VocabularyCapture::desktopEnvironment();
    copying.accessibleSelection = [] { return std::optional<QString>(); };
    korvu::VocabularyCapture copyCapture(std::move(copying));
    target.send("own-clipboard", QStringLiteral("Vorher kopiert"));
    ASSERT_TRUE(target.await("OWNED"));
    target.send("select", QStringLiteral("vorbei"));
    ASSERT_TRUE(target.await("SELECTED"));
    std::optional<Hint> copied;
    copyCapture.addSelection([&](const Hint& hint) { copied = hint; });
    ASSERT_TRUE(waitFor([&] { return copied.has_value(); }, 30s));
    EXPECT_EQ(copied->detail, QStringLiteral("„vorbei“"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("Vorher kopiert"));
    EXPECT_EQ(vocabulary(), (QStringList{kTerm, "Wojciechowska", "vorbei"}));

    // Other programs: the application's session-bus entry, as "korvu-darivir --add-word"
    // and desktop shortcuts call it, reaches the same capture.
    korvu::SingleInstance instance;
    ASSERT_FALSE(instance.otherInstanceRunning());
    instance.onAddWord = [&capture](const QString& text) { capture.addToVocabulary(text); };
    const auto call = [](const QString& text) {
        return QString::fromUtf8(x11test::runTool(
            "dbus-send", {"--session", "--print-reply", "--dest=de.korvu.darivir", "/de/korvu/darivir",
                          "de.korvu.darivir.Application.AddToVocabulary", "string:" + text}));
    };
    struct Case {
        QString text;
        Hint hint;
    };
    const std::vector<Case> cases = {
        {QStringLiteral("  (Hochdruck-Reiniger), "),
         {HintKind::info, QStringLiteral("Zum Wörterbuch hinzugefügt"), QStringLiteral("„Hochdruck-Reiniger“")}},
        {QStringLiteral("hochdruck-reiniger"),
         {HintKind::info, QStringLiteral("Schon im Wörterbuch"), QStringLiteral("„hochdruck-reiniger“")}},
        {QString(),
         {HintKind::warning, QStringLiteral("Nichts markiert"), QStringLiteral("Erst das Wort markieren, dann hinzufügen.")}},
    };
    for (const Case& c : cases) {
        const std::size_t before = shown->shown.size();
        EXPECT_TRUE(call(c.text).startsWith("method return")) << c.text.toStdString();
        ASSERT_EQ(shown->shown.size(), before + 1);
        EXPECT_EQ(shown->shown.back(), c.hint);
    }
    EXPECT_EQ(vocabulary(), (QStringList{kTerm, "Wojciechowska", "vorbei", "Hochdruck-Reiniger"}));
}

}  // namespace

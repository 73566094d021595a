#include "KorvuDarivir/Dictation/DictationController.h"

#include "KorvuDarivir/Dictation/AudioRecorder.h"
#include "KorvuDarivir/Dictation/ButtonPlacement.h"
#include "KorvuDarivir/Dictation/DictationSettings.h"
#include "KorvuDarivir/Dictation/HotkeyCenter.h"
#include "KorvuDarivir/Dictation/Inserter.h"
#include "KorvuDarivir/Store/Permissions.h"
#include "KorvuDarivir/Dictation/Recorder.h"
#include "KorvuDarivir/Dictation/SpeechPresence.h"
#include "KorvuDarivir/Dictation/TextCleaner.h"
#include "KorvuDarivir/Store/FailureText.h"
#include "KorvuDarivir/Store/HistoryStore.h"
#include "KorvuDarivir/Store/KeyStore.h"
#include "KorvuDarivir/UI/MicButtonPanel.h"
#include "BexmorCore/Extensions.h"
#include "Platform/Async/MainThread.h"
#include "Platform/UI/ScreenProvider.h"
#include "Platform/UI/SystemTray.h"

#include <QPointer>
#include <QtDebug>

#include <cmath>
#include <typeinfo>

namespace korvu {
namespace {

QString describe(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const TranscriberError& e) {
        return e.description();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Unbekannter Fehler.");
    }
}

// A failed transcription in the user's words; the engine's own (English) text is for the log.
QString transcriptionFailure(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const TranscriberError& e) {
        return e.description();
    } catch (...) {
        FailureText::log("DictationController::transcribed", FailureText::libraryText(error));
        return QStringLiteral("Die Spracherkennung ist an dieser Aufnahme gescheitert. Versuche es noch einmal.");
    }
}

const Hint noSpeech{HintKind::info, QStringLiteral("Keine Sprache erkannt"),
                    QStringLiteral("Sprich etwas näher am Mikrofon.")};
// What works in a Wayland session, where the application runs on Xwayland.
const Hint waylandSession{HintKind::info, QStringLiteral("Wayland-Sitzung"),
                          QStringLiteral("Diktieren klappt in X11-Programmen, per Kurzbefehl solange eines von ihnen "
                                         "die Tastatur hat. Wayland-Fenster erreichen weder Text noch Kurzbefehl.")};
const Hint rawTextAfterFailure{HintKind::warning, QStringLiteral("Rohtext eingefügt"),
                               QStringLiteral("Die KI-Aufbereitung hat nicht geklappt.")};

// The application's transcriber behind the controller's view of it.
class TranscriberSpeech final : public DictationController::Speech {
public:
    void setOnStateChange(std::function<void(const ModelState&)> handler) override
    {
        transcriber_.setOnStateChange(std::move(handler));
    }
    bool isModelPresent() override { return Transcriber::isModelPresent(); }
    void load() override { transcriber_.load(); }
    void transcribe(std::vector<float> samples, const std::optional<QString>& language, const QStringList& vocabulary,
                    Transcriber::Completion done) override
    {
        transcriber_.transcribe(std::move(samples), language, vocabulary, std::move(done));
    }

private:
    Transcriber transcriber_;
};

// The floating button's window behind the controller's view of it.
class FloatingButtonPanel final : public DictationController::ButtonPanel {
public:
    void setCallbacks(Callbacks callbacks) override
    {
        MicButtonView* button = panel_.button();
        button->onClick = std::move(callbacks.onClick);
        button->onHoverChange = std::move(callbacks.onHoverChange);
        button->isDraggable = std::move(callbacks.isDraggable);
        button->onDragEnded = std::move(callbacks.onDragEnded);
    }
    void setState(const MicButtonState& state) override { panel_.button()->setState(state); }
    void setInputLevel(double level) override { MicButtonView::inputLevel = level; }
    bool isVisible() const override { return panel_.isVisible(); }
    void orderOut() override { panel_.orderOut(); }
    void place(const QPointF& buttonOrigin) override { panel_.place(buttonOrigin); }
    QRectF frame() const override { return panel_.frame(); }
    std::optional<QPointF> standardOrigin() const override { return panel_.standardOrigin; }
    void setStandardOrigin(const std::optional<QPointF>& origin) override { panel_.standardOrigin = origin; }

private:
    MicButtonPanel panel_;
};

}  // namespace

// What one dictation carries from the stop to the end: fixed when the recording stopped,
// so later focus changes or a new sink cannot send the text elsewhere.
struct DictationController::Dictation {
    std::optional<platform::RunningApplication> target;
    AppModel::Sink sink;
    QStringList vocabulary;
    QString text;
    std::optional<Hint> pendingHint;
};

DictationController::Environment DictationController::desktopEnvironment()
{
    Environment environment;
    environment.speech = std::make_unique<TranscriberSpeech>();
    environment.recorder = std::make_shared<AudioRecorder>();
    environment.tracker = std::make_unique<FocusTracker>();
    environment.panel = std::make_unique<FloatingButtonPanel>();
    environment.hints = makeHintPanel();
    environment.model = &AppModel::shared();
    environment.hotkeys = &HotkeyCenter::shared();
    environment.inserter = &Inserter::desktop();
    environment.keyStore = &KeyStore::desktop();
    environment.permissions = &PermissionSystem::desktop();
    environment.applications = &platform::RunningApplications::desktop();
    environment.history = &HistoryStore::shared();
    environment.settings = &DictationSettings::desktop();
    static platform::QtScheduler scheduler;
    environment.scheduler = &scheduler;
    static platform::QtScreenProvider screens;
    environment.screens = &screens;
    environment.cleanup = [](const QString& text, const QString& apiKey, CleanupStyle style,
                             const QStringList& vocabulary) {
        return TextCleaner::clean(text, apiKey, style, vocabulary);
    };
    environment.clock = [] { return std::chrono::steady_clock::now(); };
    environment.statusMenuShown = [] { return platform::SystemTray::systemTrayAvailable(); };
    return environment;
}

DictationController::DictationController(Environment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)), model_(*environment_.model)
{
    workers_.setMaxThreadCount(1);
}

DictationController::~DictationController()
{
    // A cleanup request still running ends at its own time limit; its answer is dropped.
    workers_.waitForDone();
    // Nothing may call back into a controller that is gone.
    if (environment_.tracker) {
        environment_.tracker->onChange = nullptr;
    }
    if (environment_.recorder) {
        environment_.recorder->onLevel = nullptr;
    }
}

void DictationController::start()
{
    QPointer<DictationController> self(this);
    auto weakly = [self](auto member) {
        return [self, member](auto&&... arguments) {
            if (self) {
                (self.data()->*member)(std::forward<decltype(arguments)>(arguments)...);
            }
        };
    };

    environment_.speech->setOnStateChange([self](const ModelState& state) {
        if (self) {
            self->model_.setModel(state);
            self->syncButton();
        }
    });
    ButtonPanel::Callbacks callbacks;
    callbacks.onClick = weakly(&DictationController::toggle);
    callbacks.onHoverChange = weakly(&DictationController::hoverChanged);
    callbacks.isDraggable = [self] { return self && self->isDraggable(); };
    callbacks.onDragEnded = weakly(&DictationController::buttonMoved);
    environment_.panel->setCallbacks(std::move(callbacks));
    // Runs on the capture thread: only hands the level to the main thread, where it is
    // dropped unless a recording still runs (a buffer can arrive after the stop).
    environment_.recorder->onLevel = [self](float level) {
        platform::deliver(self, [level](DictationController& controller) {
            if (controller.recordingStart_) {
                controller.environment_.panel->setInputLevel(level);
            }
        });
    };
    if (environment_.tracker) {
        environment_.tracker->onChange = weakly(&DictationController::focusChanged);
        environment_.tracker->start();
    }
    environment_.hotkeys->onPressed = weakly(&DictationController::hotkeyPressed);
    environment_.hotkeys->onReleased = weakly(&DictationController::hotkeyReleased);
    environment_.hotkeys->onEscape = weakly(&DictationController::cancelRecording);
    model_.installToggleDictation(weakly(&DictationController::toggle));
    model_.installLoadModel(weakly(&DictationController::loadModel));
    model_.installSetInternalSink([self](AppModel::Sink sink) {
        if (self) {
            self->internalSink_ = std::move(sink);
            self->updatePanel();
        }
    });

    if (environment_.speech->isModelPresent() || environment_.settings->onboardingCompleted()) {
        loadModel();
    }
    syncButton();
    if (environment_.permissions->isWaylandSession()) {
        showHint(waylandSession);
    }
}

void DictationController::loadModel()
{
    environment_.speech->load();
}

void DictationController::toggle()
{
    if (starting_) {
        // A second press or click while the microphone opens means "stop at once".
        afterStart_ = AfterStart::stop;
        return;
    }
    switch (model_.phase()) {
    case DictationPhase::idle:
        startRecording();
        break;
    case DictationPhase::recording:
        stopRecording();
        break;
    case DictationPhase::processing:
        break;
    }
}

void DictationController::hotkeyPressed()
{
    if (environment_.settings->holdToTalk()) {
        if (model_.phase() == DictationPhase::idle && !starting_) {
            startRecording();
        }
        return;
    }
    toggle();
}

void DictationController::hotkeyReleased()
{
    if (!environment_.settings->holdToTalk()) {
        return;
    }
    if (starting_) {
        afterStart_ = AfterStart::stop;
    } else if (model_.phase() == DictationPhase::recording) {
        stopRecording();
    }
}

void DictationController::cancelRecording()
{
    if (starting_) {
        afterStart_ = AfterStart::cancel;
        return;
    }
    if (model_.phase() != DictationPhase::recording) {
        return;
    }
    environment_.recorder->stop(this, {});
    setPhase(DictationPhase::idle);
}

QString DictationController::downloadingDetail(double progress)
{
    const double clamped = std::isnan(progress) ? 0.0 : std::clamp(progress, 0.0, 1.0);
    return QStringLiteral("Das Sprachmodell lädt noch · ") + QString::number(static_cast<int>(clamped * 100))
        + QStringLiteral(" %");
}

void DictationController::startRecording()
{
    environment_.hints->hide();

    const ModelState& state = model_.model();
    switch (state.kind()) {
    case ModelState::Kind::downloading:
        showHint({HintKind::info, QStringLiteral("Gleich so weit"), downloadingDetail(state.progress())});
        return;
    case ModelState::Kind::preparing:
        showHint({HintKind::info, QStringLiteral("Gleich so weit"),
                  state.firstTime() ? QStringLiteral("Das Sprachmodell wird für diesen Rechner optimiert.")
                                    : QStringLiteral("Das Sprachmodell startet.")});
        return;
    case ModelState::Kind::failed:
        // Without a tray there is no status menu to point to; the settings offer the retry.
        showHint({HintKind::error, QStringLiteral("Sprachmodell nicht verfügbar"),
                  !environment_.statusMenuShown || environment_.statusMenuShown()
                      ? QStringLiteral("Im Menü des KORVU-Darivir-Symbols im Panel › „Sprachmodell erneut laden“.")
                      : QStringLiteral("In den Einstellungen › System › Sprachmodell.")});
        return;
    case ModelState::Kind::notLoaded:
        loadModel();
        showHint({HintKind::info, QStringLiteral("Gleich so weit"), QStringLiteral("Das Sprachmodell wird geladen.")});
        return;
    case ModelState::Kind::ready:
        break;
    }

    PermissionSystem& permissions = *environment_.permissions;
    if (!internalSink_) {
        // Under Wayland a native window in front can neither be seen nor pasted into.
        const bool hasX11Target = currentField_.has_value() || environment_.applications->frontmost().has_value();
        if (const std::optional<PermissionHint> obstacle = Permissions::insertionObstacle(hasX11Target, permissions)) {
            showHint({HintKind::error, obstacle->title, obstacle->detail});
            return;
        }
    }

    switch (Permissions::microphoneAuthorization(permissions)) {
    case MicrophoneAuthorization::authorized:
        break;
    case MicrophoneAuthorization::notDetermined: {
        // One question at a time: a press while the system asks starts nothing, and the
        // answer starts a recording only when nothing else began meanwhile.
        if (askingForMicrophone_) {
            return;
        }
        askingForMicrophone_ = true;
        QPointer<DictationController> self(this);
        Permissions::requestMicrophone(
            [self](bool granted) {
                if (!self) {
                    return;
                }
                self->askingForMicrophone_ = false;
                self->model_.setMicrophoneGranted(granted);
                if (granted && self->model_.phase() == DictationPhase::idle && !self->starting_) {
                    self->startRecording();
                }
            },
            permissions);
        return;
    }
    case MicrophoneAuthorization::denied:
    case MicrophoneAuthorization::restricted:
        Permissions::openPane(PrivacyPane::microphone, permissions);
        showHint({HintKind::error, QStringLiteral("Mikrofon nicht erlaubt"),
                  QStringLiteral("Erlaube den Zugriff in den Einstellungen deines Systems.")});
        return;
    }

    if (internalSink_) {
        target_.reset();
    } else if (currentField_) {
        target_ = environment_.applications->application(currentField_->pid);
    } else {
        target_ = environment_.applications->frontmost();
    }

    starting_ = true;
    afterStart_ = AfterStart::record;
    const std::optional<QString> uid = environment_.settings->microphoneUID();
    QPointer<DictationController> self(this);
    environment_.recorder->start(uid ? std::optional<std::string>(uid->toStdString()) : std::nullopt, this,
                                 [self](std::exception_ptr error) {
                                     if (self) self->recorderStarted(error);
                                 });
}

void DictationController::recorderStarted(std::exception_ptr error)
{
    starting_ = false;
    if (error) {
        flash(MicButtonState::err);
        try {
            std::rethrow_exception(error);
        } catch (const RecorderError&) {
            showHint({HintKind::error, QStringLiteral("Kein Mikrofon gefunden"),
                      QStringLiteral("Schließe eins an oder wähle es in den Einstellungen.")});
        } catch (...) {
            showHint({HintKind::error, QStringLiteral("Aufnahme nicht möglich"), describe(std::current_exception())});
        }
        return;
    }
    if (afterStart_ == AfterStart::cancel) {
        environment_.recorder->stop(this, {});
        return;
    }
    setPhase(DictationPhase::recording);
    if (afterStart_ == AfterStart::stop) {
        stopRecording();
    }
}

void DictationController::stopRecording()
{
    // The target and the sink go with this dictation as they are now.
    auto target = target_;
    auto sink = internalSink_;
    setPhase(DictationPhase::processing);
    QPointer<DictationController> self(this);
    environment_.recorder->stop(this, [self, target, sink](std::vector<float> samples) {
        if (!self) {
            return;
        }
        if (static_cast<int>(samples.size()) < minimumSamples) {
            self->setPhase(DictationPhase::idle);
            return;
        }
        self->process(std::move(samples), target, sink);
    });
}

void DictationController::process(std::vector<float> samples, std::optional<platform::RunningApplication> target,
                                  AppModel::Sink sink)
{
    // Silence goes no further: the model would make a sentence up.
    if (!containsSpeech(samples)) {
        setPhase(DictationPhase::idle);
        showHint(noSpeech);
        return;
    }
    auto dictation = std::make_shared<Dictation>();
    dictation->target = std::move(target);
    dictation->sink = std::move(sink);
    dictation->vocabulary = environment_.settings->vocabulary();
    QPointer<DictationController> self(this);
    environment_.speech->transcribe(std::move(samples), environment_.settings->language(), dictation->vocabulary,
                                    [self, dictation](const QString& text, std::exception_ptr error) {
                                        if (self) {
                                            self->transcribed(dictation, text, error);
                                        }
                                    });
}

void DictationController::transcribed(const std::shared_ptr<Dictation>& dictation, const QString& text,
                                      std::exception_ptr error)
{
    if (error) {
        setPhase(DictationPhase::idle);
        flash(MicButtonState::err);
        showHint({HintKind::error, QStringLiteral("Diktat fehlgeschlagen"), transcriptionFailure(error)});
        return;
    }
    if (text.isEmpty()) {
        setPhase(DictationPhase::idle);
        showHint(noSpeech);
        return;
    }
    dictation->text = text;
    if (!environment_.settings->cleanupEnabled()) {
        deliver(dictation);
        return;
    }
    QPointer<DictationController> self(this);
    environment_.keyStore->read(Keychain::Account::anthropicAPIKey, this, [self, dictation](KeyReading reading) {
        if (!self) {
            return;
        }
        if (reading.status != KeyStatus::found || reading.value.isEmpty()) {
            // A locked or silent keyring is told apart from a missing key: entering the key
            // again would not help there.
            const KeyStatus status = reading.status == KeyStatus::found ? KeyStatus::missing : reading.status;
            dictation->pendingHint = Hint{HintKind::warning, QStringLiteral("Rohtext eingefügt"), keyProblemDetail(status)};
            self->deliver(dictation);
            return;
        }
        self->cleanUp(dictation, reading.value);
    });
}

void DictationController::cleanUp(const std::shared_ptr<Dictation>& dictation, const QString& apiKey)
{
    const std::optional<QString> appId =
        dictation->target && !dictation->target->appId.isEmpty() ? std::optional<QString>(dictation->target->appId)
                                                                  : std::nullopt;
    const CleanupStyle style = environment_.settings->style(styleAppMatching(appId));
    QPointer<DictationController> self(this);
    workers_.start([cleanup = environment_.cleanup, self, dictation, apiKey, style, text = dictation->text,
                    vocabulary = dictation->vocabulary] {
        std::optional<QString> cleaned;
        try {
            cleaned = cleanup(text, apiKey, style, vocabulary);
        } catch (const std::exception& error) {
            // The user learns it from the hint; the log gets the kind of failure only, since
            // the service's message may quote the request.
            qWarning("Language-model cleanup failed (%s); the raw text is inserted",
                     bexmor::unqualifiedName(typeid(error)).c_str());
        } catch (...) {
            qWarning("Language-model cleanup failed; the raw text is inserted");
        }
        platform::deliver(self, [dictation, cleaned](DictationController& controller) {
            if (cleaned) {
                dictation->text = *cleaned;
            } else {
                dictation->pendingHint = rawTextAfterFailure;
            }
            controller.deliver(dictation);
        });
    });
}

void DictationController::deliver(const std::shared_ptr<Dictation>& dictation)
{
    if (dictation->sink) {
        dictation->sink(dictation->text);
        finish(dictation);
        return;
    }
    QPointer<DictationController> self(this);
    const std::optional<std::int64_t> pid =
        dictation->target ? std::optional<std::int64_t>(dictation->target->pid) : std::nullopt;
    // The record is written as the paste goes out, not after the clipboard's restore: a
    // dictation whose text reached the target is in the history even when the program is
    // ended a moment later.
    environment_.inserter->insert(
        dictation->text, pid,
        [self, dictation] {
            if (self) {
                self->record(dictation);
            }
        },
        [self, dictation] {
            if (self) {
                self->finish(dictation);
            }
        });
}

QString DictationController::appNameOf(const Dictation& dictation)
{
    if (dictation.sink) {
        return QStringLiteral("KORVU Darivir");
    }
    if (dictation.target && !dictation.target->name.isEmpty()) {
        return dictation.target->name;
    }
    return QStringLiteral("Unbekannte App");
}

void DictationController::record(const std::shared_ptr<Dictation>& dictation)
{
    const std::optional<platform::WriteError> failure = environment_.history->add(dictation->text, appNameOf(*dictation));
    if (!failure) {
        historyFailureShown_ = false;  // written again: a new failure is news
        return;
    }
    // Told once per run of failures; the text itself was inserted all the same.
    if (!historyFailureShown_ && !dictation->pendingHint) {
        historyFailureShown_ = true;
        dictation->pendingHint = Hint{HintKind::warning, QStringLiteral("Verlauf nicht gespeichert"),
                                      FailureText::notSaved(*failure)};
    }
}

void DictationController::finish(const std::shared_ptr<Dictation>& dictation)
{
    const QString appName = appNameOf(*dictation);
    model_.setLastInsert(LastInsert{wordCount(dictation->text), appName});
    if (dictation->sink) {
        record(dictation);
    }
    setPhase(DictationPhase::idle);
    flash(MicButtonState::ok);
    if (dictation->pendingHint) {
        showHint(*dictation->pendingHint);
    }
}

int DictationController::wordCount(const QString& text)
{
    int words = 0;
    bool inWord = false;
    for (const QChar c : text) {
        if (c.isSpace()) {
            inWord = false;
        } else if (!inWord) {
            inWord = true;
            ++words;
        }
    }
    return words;
}

void DictationController::setPhase(DictationPhase phase)
{
    if (model_.phase() == phase) {
        return;
    }
    model_.setPhase(phase);
    environment_.hotkeys->setEscapeEnabled(phase == DictationPhase::recording);
    if (phase == DictationPhase::recording) {
        startRecordingClock();
        if (tooltipShown_) {
            environment_.hints->hide();
        }
    } else {
        stopRecordingClock();
    }
    syncButton();
}

void DictationController::startRecordingClock()
{
    recordingStart_ = environment_.clock();
    model_.setRecordingSeconds(0);
    QPointer<DictationController> self(this);
    recordingTimer_ = environment_.scheduler->repeat(clockTick, [self] {
        if (!self || !self->recordingStart_) {
            return;
        }
        const auto elapsed = self->environment_.clock() - *self->recordingStart_;
        self->model_.setRecordingSeconds(
            static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count()));
    });
}

void DictationController::stopRecordingClock()
{
    recordingTimer_.cancel();
    recordingStart_.reset();
    environment_.panel->setInputLevel(0);
}

void DictationController::flash(const MicButtonState& state)
{
    model_.setFlash(state);
    syncButton();
    QPointer<DictationController> self(this);
    flashTask_ = environment_.scheduler->schedule(state == MicButtonState::err ? errorFlash : okFlash, [self] {
        if (!self) return;
        self->model_.setFlash(std::nullopt);
        self->syncButton();
    });
}

void DictationController::showHint(const Hint& hint)
{
    if (hint.kind == HintKind::error && !model_.flash() && model_.phase() == DictationPhase::idle) {
        flash(MicButtonState::err);
    }
    tooltipShown_ = false;
    ButtonPanel& panel = *environment_.panel;
    const std::optional<QRectF> anchor =
        panel.isVisible() ? std::optional<QRectF>(ButtonPlacement::face(panel.frame())) : std::nullopt;
    environment_.hints->show(hint, anchor);
}

}  // namespace korvu

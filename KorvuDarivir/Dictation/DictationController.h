#pragma once

#include "KorvuDarivir/Store/CleanupStyle.h"
#include "KorvuDarivir/Dictation/FocusTracker.h"
#include "KorvuDarivir/Dictation/Transcriber.h"
#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Settings.h"
#include "KorvuDarivir/UI/Hint.h"
#include "KorvuDarivir/UI/HintDisplay.h"
#include "KorvuDarivir/Store/MicButtonState.h"
#include "Platform/Input/RunningApplications.h"
#include "Platform/UI/Scheduler.h"

#include <QObject>
#include <QPointF>
#include <QThreadPool>
#include <QRectF>
#include <QString>
#include <QStringList>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace platform {
class ScreenProvider;
}

namespace korvu {

class DictationSettings;
class HistoryStore;
class HotkeySource;
class Inserter;
class KeyStore;
class PermissionSystem;
class Recorder;

// Turns a shortcut press or a click on the floating button into inserted text.
//
// One dictation: the press checks that the speech model is ready, that text can be
// inserted and that the microphone may be used, fixes the application that will receive
// the text, and starts the recorder (idle -> recording). The release (hold-to-talk) or
// the next press (toggle) stops it (-> processing); the samples are transcribed, cleaned
// up by the language model when the user switched that on, put into the target
// application (or handed to the onboarding window's sink), recorded in the history, and
// the button flashes (-> idle). Every failure ends in a hint beside the button.
//
// The controller also decides where the floating button stands (beside the focused field,
// or at the mouse while a dictation shows without one), remembers the user's dragged
// position per application, and shows the button's tooltip (DictationControllerButton.cpp).
//
// A recording in which the voice detector finds no speech goes no further than "Keine
// Sprache erkannt": the model is not run on silence, where it would make a sentence up.
// Settings and vocabulary come from the environment's DictationSettings, read anew for
// every dictation.
//
// Main thread only. Slow work (opening the microphone, transcription, the key read, the
// cleanup request, the paste) runs elsewhere and comes back as queued calls, which are
// dropped once the controller is gone. The phase is what serialises dictations.
class DictationController : public QObject {
    Q_OBJECT
public:
    // The speech model as the controller uses it; the application's is the Transcriber.
    class Speech {
    public:
        virtual ~Speech() = default;
        virtual void setOnStateChange(std::function<void(const ModelState&)> handler) = 0;
        virtual bool isModelPresent() = 0;
        virtual void load() = 0;
        virtual void transcribe(std::vector<float> samples, const std::optional<QString>& language,
                                const QStringList& vocabulary, Transcriber::Completion done) = 0;
    };

    // The floating microphone button's window, placed in the application's screen space
    // (y upward).
    class ButtonPanel {
    public:
        struct Callbacks {
            std::function<void()> onClick;
            std::function<void(bool hovering)> onHoverChange;
            // Asked when a drag begins.
            std::function<bool()> isDraggable;
            std::function<void()> onDragEnded;
        };

        virtual ~ButtonPanel() = default;
        virtual void setCallbacks(Callbacks callbacks) = 0;
        virtual void setState(const MicButtonState& state) = 0;
        // The live microphone level 0...1 that the recording look shows.
        virtual void setInputLevel(double level) = 0;
        virtual bool isVisible() const = 0;
        virtual void orderOut() = 0;
        // Moves the panel so that the button face's lower-left corner is at `buttonOrigin`
        // (kept on screen) and shows it.
        virtual void place(const QPointF& buttonOrigin) = 0;
        virtual QRectF frame() const = 0;
        // Where the button stands beside the current field before the user's offset; none
        // while it stands at the mouse.
        virtual std::optional<QPointF> standardOrigin() const = 0;
        virtual void setStandardOrigin(const std::optional<QPointF>& origin) = 0;
    };

    // The language-model cleanup: blocking, run on a worker thread. Throws on failure.
    using Cleanup = std::function<QString(const QString& text, const QString& apiKey, CleanupStyle style,
                                          const QStringList& vocabulary)>;

    struct Environment {
        std::unique_ptr<Speech> speech;
        std::shared_ptr<Recorder> recorder;
        // Reports the focused field; null: none is watched (the caller reports fields
        // through focusChanged itself).
        std::unique_ptr<FocusTracker> tracker;
        std::unique_ptr<ButtonPanel> panel;
        std::unique_ptr<HintDisplay> hints;
        AppModel* model = nullptr;
        HotkeySource* hotkeys = nullptr;
        Inserter* inserter = nullptr;
        KeyStore* keyStore = nullptr;
        PermissionSystem* permissions = nullptr;
        platform::RunningApplications* applications = nullptr;
        HistoryStore* history = nullptr;
        // The settings and the vocabulary as each dictation reads them.
        DictationSettings* settings = nullptr;
        platform::Scheduler* scheduler = nullptr;
        platform::ScreenProvider* screens = nullptr;
        Cleanup cleanup;
        // A clock that never jumps, for the recording time.
        std::function<std::chrono::steady_clock::time_point()> clock;
        // Whether the status item (and so its menu) can be seen; hints name its menu only
        // then. Null: it can.
        std::function<bool()> statusMenuShown;
    };

    static constexpr int minimumSamples = 6400;  // 0.4 s at 16 kHz
    static constexpr std::chrono::milliseconds okFlash{800};
    static constexpr std::chrono::milliseconds errorFlash{1500};
    static constexpr std::chrono::milliseconds tooltipDelay{800};
    static constexpr std::chrono::milliseconds clockTick{250};

    // The desktop's parts: the transcriber, the PulseAudio recorder, the AT-SPI focus
    // tracker, the floating button and hint panels, the X11 shortcuts, the clipboard
    // inserter, the Secret Service, the shared model and history.
    static Environment desktopEnvironment();

    explicit DictationController(Environment environment, QObject* parent = nullptr);
    ~DictationController() override;

    // Installs every callback and may start loading the speech model. Called once.
    void start();
    void loadModel();

    // The button's click and the model's toggleDictation: start when idle, stop when
    // recording, nothing while processing.
    void toggle();
    // The dictation shortcut went down / came up.
    void hotkeyPressed();
    void hotkeyReleased();
    // Ends a recording without transcribing it (Escape, the status menu).
    void cancelRecording();

    // The focus tracker's report.
    void focusChanged(const std::optional<FocusedField>& field);

    // Copies the model's button look into the button, then re-places it.
    void syncButton();
    // Shows, hides and places the button.
    void updatePanel();
    // The user's saved offset for the field's application (zero unless movable).
    ButtonOffset offset(const FocusedField& field);
    void buttonMoved();
    void hoverChanged(bool hovering);

    // For the owner and tests.
    const std::optional<platform::RunningApplication>& target() const { return target_; }
    bool tooltipShown() const { return tooltipShown_; }
    HintDisplay& hints() { return *environment_.hints; }
    ButtonPanel& panel() { return *environment_.panel; }

    // "Das Sprachmodell lädt noch · 42 %": the percentage truncated, clamped to 0...100.
    static QString downloadingDetail(double progress);
    // The words of a text: the pieces between white space, empty ones left out.
    static int wordCount(const QString& text);

private:
    struct Dictation;

    void startRecording();
    void recorderStarted(std::exception_ptr error);
    void stopRecording();
    void process(std::vector<float> samples, std::optional<platform::RunningApplication> target,
                 AppModel::Sink sink);
    void transcribed(const std::shared_ptr<Dictation>& dictation, const QString& text, std::exception_ptr error);
    void cleanUp(const std::shared_ptr<Dictation>& dictation, const QString& apiKey);
    void deliver(const std::shared_ptr<Dictation>& dictation);
    void record(const std::shared_ptr<Dictation>& dictation);
    void finish(const std::shared_ptr<Dictation>& dictation);
    static QString appNameOf(const Dictation& dictation);

    void setPhase(DictationPhase phase);
    void flash(const MicButtonState& state);
    void showHint(const Hint& hint);
    void startRecordingClock();
    void stopRecordingClock();
    void placeBeside(const FocusedField& field);
    std::optional<QString> appId(std::int64_t pid);
    bool isDraggable() const;

    Environment environment_;
    AppModel& model_;
    std::optional<FocusedField> currentField_;
    std::optional<platform::RunningApplication> target_;
    AppModel::Sink internalSink_;
    platform::SchedulerToken flashTask_;
    platform::SchedulerToken tooltipTask_;
    bool tooltipShown_ = false;
    platform::SchedulerToken recordingTimer_;
    std::optional<std::chrono::steady_clock::time_point> recordingStart_;

    // Between a start of the recorder and its answer the phase is still idle; what the
    // user asked for meanwhile is done once it answers.
    enum class AfterStart { record, stop, cancel };
    bool starting_ = false;
    AfterStart afterStart_ = AfterStart::record;
    // The system is asking the user for the microphone; further presses wait for that answer.
    bool askingForMicrophone_ = false;
    // A failed history write has been told since the last good one.
    bool historyFailureShown_ = false;
    // Runs the cleanup requests; the controller waits for a running one when it ends.
    QThreadPool workers_;
};

}  // namespace korvu

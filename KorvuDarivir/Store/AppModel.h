#pragma once

#include "KorvuDarivir/Store/DictationPhase.h"
#include "KorvuDarivir/Store/Hotkey.h"
#include "KorvuDarivir/Store/Permissions.h"
#include "KorvuDarivir/Store/LastInsert.h"
#include "KorvuDarivir/Store/MicButtonState.h"
#include "KorvuDarivir/Store/ModelState.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace korvu {

// The shared state the user interface shows: the dictation phase, the speech model's
// state, a short flash of the button, the recording time, the last insert, the two
// grants and the two shortcuts; plus five actions through which views and menus reach the
// controllers without holding them.
//
// Observed properties: a setter stores the value and emits the property's signal only when
// the value changed. `buttonStateChanged` is emitted when a write of the flash, the phase
// or the model changes the derived button look. Main thread only.
class AppModel : public QObject {
    Q_OBJECT
public:
    // A receiver for the results of the next dictations; empty means none.
    using Sink = std::function<void(const QString&)>;

    // The one instance, created on first use and kept for the life of the process.
    static AppModel& shared();

    // A fresh model; the application uses `shared()`.
    // The grants start as `system` reports them; the desktop unless a test gives another.
    explicit AppModel(PermissionSystem& system = PermissionSystem::desktop());

    DictationPhase phase() const { return phase_; }
    void setPhase(DictationPhase phase);
    const std::optional<MicButtonState>& flash() const { return flash_; }
    void setFlash(const std::optional<MicButtonState>& flash);
    const ModelState& model() const { return model_; }
    void setModel(const ModelState& model);
    int recordingSeconds() const { return recordingSeconds_; }
    void setRecordingSeconds(int seconds);
    const std::optional<LastInsert>& lastInsert() const { return lastInsert_; }
    void setLastInsert(const std::optional<LastInsert>& lastInsert);
    bool accessibilityGranted() const { return accessibilityGranted_; }
    void setAccessibilityGranted(bool granted);
    bool microphoneGranted() const { return microphoneGranted_; }
    void setMicrophoneGranted(bool granted);
    const Hotkey& hotkey() const { return hotkey_; }
    void setHotkey(const Hotkey& hotkey);
    const Hotkey& wordHotkey() const { return wordHotkey_; }
    void setWordHotkey(const Hotkey& hotkey);

    // The floating button's look: the flash when set; else rec or proc by the phase; else
    // by the model (downloading: load(p), preparing: proc, failed: err, not loaded:
    // load(0), ready: idle).
    MicButtonState buttonState() const;
    // The recording time as "m:ss"; minutes are not wrapped into hours.
    QString recordingTime() const;
    // "315 von 630 MB · 50 %" for 0.5. A progress outside 0...1 is clamped, NaN shows 0.
    static QString downloadDetail(double progress);

    // The actions. Each does nothing until installed.
    void toggleDictation() const;
    void loadModel() const;
    void openSettings() const;
    void openOnboarding() const;
    void setInternalSink(Sink sink) const;

    // Installing an action notifies nobody; an empty function uninstalls it.
    void installToggleDictation(std::function<void()> action) { toggleDictation_ = std::move(action); }
    void installLoadModel(std::function<void()> action) { loadModel_ = std::move(action); }
    void installOpenSettings(std::function<void()> action) { openSettings_ = std::move(action); }
    void installOpenOnboarding(std::function<void()> action) { openOnboarding_ = std::move(action); }
    void installSetInternalSink(std::function<void(Sink)> action) { setInternalSink_ = std::move(action); }

signals:
    void phaseChanged();
    void flashChanged();
    void modelChanged();
    void recordingSecondsChanged();
    void lastInsertChanged();
    void accessibilityGrantedChanged();
    void microphoneGrantedChanged();
    void hotkeyChanged();
    void wordHotkeyChanged();
    void buttonStateChanged();

private:
    static void run(std::function<void()> action);

    // Stores `value` and emits `changed` when it differs; true when it did.
    template <typename T>
    bool store(T& field, const T& value, void (AppModel::*changed)());
    template <typename T>
    void storeLookSource(T& field, const T& value, void (AppModel::*changed)());

    DictationPhase phase_ = DictationPhase::idle;
    std::optional<MicButtonState> flash_;
    ModelState model_ = ModelState::notLoaded;
    int recordingSeconds_ = 0;
    std::optional<LastInsert> lastInsert_;
    bool accessibilityGranted_;
    bool microphoneGranted_;
    Hotkey hotkey_;
    Hotkey wordHotkey_;

    std::function<void()> toggleDictation_;
    std::function<void()> loadModel_;
    std::function<void()> openSettings_;
    std::function<void()> openOnboarding_;
    std::function<void(Sink)> setInternalSink_;
};

}  // namespace korvu

#include "KorvuDarivir/AppModel.h"

#include "KorvuDarivir/Settings.h"

#include <algorithm>
#include <cmath>

namespace korvu {

AppModel& AppModel::shared()
{
    // Never destroyed: views and timers may still read it while the process ends.
    static AppModel* const instance = new AppModel();
    return *instance;
}

// The accessibility grant starts false: the trust check needs the accessibility bus, and
// the permission poll writes the real answer within its first second. Microphone access
// needs no authorisation on Linux.
AppModel::AppModel()
    : hotkey_(Settings::hotkey()), wordHotkey_(Settings::wordHotkey())
{
}

template <typename Write>
void AppModel::changingButtonState(Write write)
{
    const MicButtonState before = buttonState();
    write();
    if (!(buttonState() == before)) {
        emit buttonStateChanged();
    }
}

void AppModel::setPhase(DictationPhase phase)
{
    if (phase_ == phase) {
        return;
    }
    changingButtonState([&] { phase_ = phase; });
    emit phaseChanged();
}

void AppModel::setFlash(const std::optional<MicButtonState>& flash)
{
    if (flash_ == flash) {
        return;
    }
    changingButtonState([&] { flash_ = flash; });
    emit flashChanged();
}

void AppModel::setModel(const ModelState& model)
{
    if (model_ == model) {
        return;
    }
    changingButtonState([&] { model_ = model; });
    emit modelChanged();
}

void AppModel::setRecordingSeconds(int seconds)
{
    if (recordingSeconds_ == seconds) {
        return;
    }
    recordingSeconds_ = seconds;
    emit recordingSecondsChanged();
}

void AppModel::setLastInsert(const std::optional<LastInsert>& lastInsert)
{
    if (lastInsert_ == lastInsert) {
        return;
    }
    lastInsert_ = lastInsert;
    emit lastInsertChanged();
}

void AppModel::setAccessibilityGranted(bool granted)
{
    if (accessibilityGranted_ == granted) {
        return;
    }
    accessibilityGranted_ = granted;
    emit accessibilityGrantedChanged();
}

void AppModel::setMicrophoneGranted(bool granted)
{
    if (microphoneGranted_ == granted) {
        return;
    }
    microphoneGranted_ = granted;
    emit microphoneGrantedChanged();
}

void AppModel::setHotkey(const HotkeyCodes& hotkey)
{
    if (hotkey_ == hotkey) {
        return;
    }
    hotkey_ = hotkey;
    emit hotkeyChanged();
}

void AppModel::setWordHotkey(const HotkeyCodes& hotkey)
{
    if (wordHotkey_ == hotkey) {
        return;
    }
    wordHotkey_ = hotkey;
    emit wordHotkeyChanged();
}

MicButtonState AppModel::buttonState() const
{
    if (flash_) {
        return *flash_;
    }
    switch (phase_) {
    case DictationPhase::recording:
        return MicButtonState::rec;
    case DictationPhase::processing:
        return MicButtonState::proc;
    case DictationPhase::idle:
        break;
    }
    switch (model_.kind()) {
    case ModelState::Kind::downloading:
        return MicButtonState::load(model_.progress());
    case ModelState::Kind::preparing:
        return MicButtonState::proc;
    case ModelState::Kind::failed:
        return MicButtonState::err;
    case ModelState::Kind::notLoaded:
        return MicButtonState::load(0.0);
    case ModelState::Kind::ready:
        return MicButtonState::idle;
    }
    return MicButtonState::idle;
}

QString AppModel::recordingTime() const
{
    const int seconds = std::max(recordingSeconds_, 0);
    return QString::asprintf("%d:%02d", seconds / 60, seconds % 60);
}

QString AppModel::downloadDetail(double progress)
{
    // Converting NaN or an out-of-range double to an integer is undefined behaviour.
    const double fraction = std::isnan(progress) ? 0.0 : std::clamp(progress, 0.0, 1.0);
    const int megabytes = static_cast<int>(fraction * 630.0);
    const int percent = static_cast<int>(fraction * 100.0);
    return QStringLiteral("%1 von 630 MB · %2 %").arg(megabytes).arg(percent);
}

void AppModel::toggleDictation() const
{
    // A copy, so that an action may replace itself while it runs.
    if (const auto action = toggleDictation_) {
        action();
    }
}

void AppModel::loadModel() const
{
    // A copy, so that an action may replace itself while it runs.
    if (const auto action = loadModel_) {
        action();
    }
}

void AppModel::openSettings() const
{
    // A copy, so that an action may replace itself while it runs.
    if (const auto action = openSettings_) {
        action();
    }
}

void AppModel::openOnboarding() const
{
    // A copy, so that an action may replace itself while it runs.
    if (const auto action = openOnboarding_) {
        action();
    }
}

void AppModel::setInternalSink(Sink sink) const
{
    if (const auto action = setInternalSink_) {
        action(std::move(sink));
    }
}

}  // namespace korvu

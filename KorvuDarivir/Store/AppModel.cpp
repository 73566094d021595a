#include "KorvuDarivir/Store/AppModel.h"
#include "KorvuDarivir/Store/Progress.h"

#include "KorvuDarivir/Store/Settings.h"

#include <algorithm>
#include <cmath>

namespace korvu {

AppModel& AppModel::shared()
{
    // Never destroyed: views and timers may still read it while the process ends.
    static AppModel* const instance = new AppModel();
    return *instance;
}

// The permission poll keeps the grants current after this first reading.
AppModel::AppModel(PermissionSystem& system)
    : accessibilityGranted_(Permissions::isAccessibilityTrusted(system)),
      microphoneGranted_(Permissions::microphoneAuthorization(system) == MicrophoneAuthorization::authorized),
      hotkey_(Settings::hotkey()),
      wordHotkey_(Settings::wordHotkey())
{
}

template <typename T>
bool AppModel::store(T& field, const T& value, void (AppModel::*changed)())
{
    if (field == value) {
        return false;
    }
    field = value;
    emit(this->*changed)();
    return true;
}

// For the three properties the button's look is derived from: the look's signal follows
// the property's when the look changed too.
template <typename T>
void AppModel::storeLookSource(T& field, const T& value, void (AppModel::*changed)())
{
    const MicButtonState before = buttonState();
    if (store(field, value, changed) && !(buttonState() == before)) {
        emit buttonStateChanged();
    }
}

void AppModel::setPhase(DictationPhase phase)
{
    storeLookSource(phase_, phase, &AppModel::phaseChanged);
}

void AppModel::setFlash(const std::optional<MicButtonState>& flash)
{
    storeLookSource(flash_, flash, &AppModel::flashChanged);
}

void AppModel::setModel(const ModelState& model)
{
    storeLookSource(model_, model, &AppModel::modelChanged);
}

void AppModel::setRecordingSeconds(int seconds)
{
    store(recordingSeconds_, seconds, &AppModel::recordingSecondsChanged);
}

void AppModel::setLastInsert(const std::optional<LastInsert>& lastInsert)
{
    store(lastInsert_, lastInsert, &AppModel::lastInsertChanged);
}

void AppModel::setAccessibilityGranted(bool granted)
{
    store(accessibilityGranted_, granted, &AppModel::accessibilityGrantedChanged);
}

void AppModel::setMicrophoneGranted(bool granted)
{
    store(microphoneGranted_, granted, &AppModel::microphoneGrantedChanged);
}

void AppModel::setHotkey(const Hotkey& hotkey)
{
    store(hotkey_, hotkey, &AppModel::hotkeyChanged);
}

void AppModel::setWordHotkey(const Hotkey& hotkey)
{
    store(wordHotkey_, hotkey, &AppModel::wordHotkeyChanged);
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
    const int megabytes = static_cast<int>(unitFraction(progress) * 630.0);
    return QStringLiteral("%1 von 630 MB · %2 %").arg(megabytes).arg(wholePercent(progress));
}

// Takes the action by value: a copy, so that an action may replace itself while it runs.
void AppModel::run(std::function<void()> action)
{
    if (action) {
        action();
    }
}

void AppModel::toggleDictation() const { run(toggleDictation_); }

void AppModel::loadModel() const { run(loadModel_); }

void AppModel::openSettings() const { run(openSettings_); }

void AppModel::openOnboarding() const { run(openOnboarding_); }

void AppModel::setInternalSink(Sink sink) const
{
    if (const auto action = setInternalSink_) {
        action(std::move(sink));
    }
}

}  // namespace korvu

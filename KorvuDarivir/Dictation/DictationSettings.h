#pragma once

#include "KorvuDarivir/Store/Settings.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace korvu {

// What the dictation controller reads (and, for the dragged button, writes) of the user's
// settings and vocabulary. `desktop()` goes to the user defaults on every call, so a change
// in the settings window counts from the next press; tests give their own values
// (tests/fakes/FakeDictationSettings.h). Main thread only.
class DictationSettings {
public:
    virtual ~DictationSettings() = default;

    virtual bool holdToTalk() const = 0;
    virtual bool onboardingCompleted() const = 0;
    virtual bool cleanupEnabled() const = 0;
    virtual bool showFloatingButton() const = 0;
    virtual bool movableButton() const = 0;
    // The chosen input's id; none for the default input.
    virtual std::optional<QString> microphoneUID() const = 0;
    // The transcription language; none for automatic detection.
    virtual std::optional<QString> language() const = 0;
    virtual CleanupStyle style(StyleApp app) const = 0;
    // The dictation shortcut, for the tooltip.
    virtual Hotkey hotkey() const = 0;
    virtual ButtonOffset buttonOffset(const std::optional<QString>& appId) const = 0;
    virtual void setButtonOffset(const ButtonOffset& offset, const std::optional<QString>& appId) = 0;
    // The user's vocabulary, in its stored order.
    virtual QStringList vocabulary() const = 0;

    // The application's: `Settings` and `Vocabulary` over the user defaults.
    static DictationSettings& desktop();
};

}  // namespace korvu

#pragma once

#include "KorvuDarivir/Dictation/DictationSettings.h"

#include <QHash>

namespace fakes {

// The dictation's settings as plain fields, with the registered defaults' values; nothing
// reaches the user defaults.
class FakeDictationSettings final : public korvu::DictationSettings {
public:
    bool holdToTalkOn = false;
    bool onboarded = false;
    bool cleanupOn = false;
    bool showButton = true;
    bool movable = false;
    std::optional<QString> microphone;
    std::optional<QString> languageCode = QStringLiteral("de");
    QHash<korvu::StyleApp, korvu::CleanupStyle> styles;
    korvu::Hotkey shortcut{49, 0x1800};
    QHash<QString, korvu::ButtonOffset> offsets;  // "default" for no application id
    QStringList terms;

    bool holdToTalk() const override { return holdToTalkOn; }
    bool onboardingCompleted() const override { return onboarded; }
    bool cleanupEnabled() const override { return cleanupOn; }
    bool showFloatingButton() const override { return showButton; }
    bool movableButton() const override { return movable; }
    std::optional<QString> microphoneUID() const override { return microphone; }
    std::optional<QString> language() const override { return languageCode; }
    korvu::CleanupStyle style(korvu::StyleApp app) const override
    {
        if (styles.contains(app)) return styles.value(app);
        switch (app) {
        case korvu::StyleApp::whatsapp: return korvu::CleanupStyle::message;
        case korvu::StyleApp::mail: return korvu::CleanupStyle::email;
        case korvu::StyleApp::notes: return korvu::CleanupStyle::note;
        case korvu::StyleApp::other: break;
        }
        return korvu::CleanupStyle::neutral;
    }
    korvu::Hotkey hotkey() const override { return shortcut; }
    korvu::ButtonOffset buttonOffset(const std::optional<QString>& appId) const override
    {
        return offsets.value(appId.value_or(QStringLiteral("default")));
    }
    void setButtonOffset(const korvu::ButtonOffset& offset, const std::optional<QString>& appId) override
    {
        offsets.insert(appId.value_or(QStringLiteral("default")), offset);
    }
    QStringList vocabulary() const override { return terms; }
};

}  // namespace fakes

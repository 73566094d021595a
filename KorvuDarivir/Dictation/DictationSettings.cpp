#include "KorvuDarivir/Dictation/DictationSettings.h"

#include "KorvuDarivir/Store/Vocabulary.h"
#include "Platform/Defaults/UserDefaults.h"

namespace korvu {
namespace {

bool flag(const char* key)
{
    return platform::UserDefaults::standard().boolean(QString::fromLatin1(key));
}

class StoredSettings final : public DictationSettings {
public:
    bool holdToTalk() const override { return flag(Settings::holdToTalkKey); }
    bool onboardingCompleted() const override { return flag(Settings::onboardingCompletedKey); }
    bool cleanupEnabled() const override { return flag(Settings::cleanupEnabledKey); }
    bool showFloatingButton() const override { return flag(Settings::showFloatingButtonKey); }
    bool movableButton() const override { return flag(Settings::movableButtonKey); }
    std::optional<QString> microphoneUID() const override { return Settings::microphoneUID(); }
    std::optional<QString> language() const override { return Settings::language(); }
    CleanupStyle style(StyleApp app) const override { return Settings::style(app); }
    Hotkey hotkey() const override { return Settings::hotkey(); }
    ButtonOffset buttonOffset(const std::optional<QString>& appId) const override
    {
        return Settings::buttonOffset(appId);
    }
    void setButtonOffset(const ButtonOffset& offset, const std::optional<QString>& appId) override
    {
        Settings::setButtonOffset(offset, appId);
    }
    QStringList vocabulary() const override { return Vocabulary::terms(); }
};

}  // namespace

DictationSettings& DictationSettings::desktop()
{
    static StoredSettings settings;
    return settings;
}

}  // namespace korvu

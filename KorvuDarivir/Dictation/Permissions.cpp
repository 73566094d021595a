#include "KorvuDarivir/Dictation/Permissions.h"

#include "Platform/Permissions/AccessibilityTrust.h"
#include "Platform/Permissions/SettingsLauncher.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <memory>

namespace korvu {
namespace {

class DesktopPermissionSystem final : public PermissionSystem {
public:
    MicrophoneAuthorization microphoneAuthorization() override { return MicrophoneAuthorization::authorized; }
    void requestMicrophoneAccess(std::function<void(bool)> answer) override { answer(true); }
    bool isAccessibilityTrusted() override { return platform::AccessibilityTrust::isTrusted(); }
    void promptForAccessibility() override { platform::AccessibilityTrust::requestEnabled(); }
    void openPane(PrivacyPane pane) override
    {
        platform::SettingsLauncher::open(pane == PrivacyPane::microphone ? platform::SettingsPane::microphone
                                                                         : platform::SettingsPane::accessibility);
    }
};

}  // namespace

PermissionSystem& PermissionSystem::desktop()
{
    static DesktopPermissionSystem system;
    return system;
}

void Permissions::requestMicrophone(std::function<void(bool)> completion, PermissionSystem& system)
{
    switch (system.microphoneAuthorization()) {
    case MicrophoneAuthorization::authorized:
        completion(true);
        return;
    case MicrophoneAuthorization::denied:
    case MicrophoneAuthorization::restricted:
        system.openPane(PrivacyPane::microphone);
        completion(false);
        return;
    case MicrophoneAuthorization::notDetermined:
        break;
    }
    // The answer may come on any thread and even before this returns; the completion
    // always runs later, on the main thread.
    auto shared = std::make_shared<std::function<void(bool)>>(std::move(completion));
    system.requestMicrophoneAccess([shared](bool granted) {
        QCoreApplication* app = QCoreApplication::instance();
        if (app == nullptr) {
            return;
        }
        QMetaObject::invokeMethod(app, [shared, granted] { (*shared)(granted); }, Qt::QueuedConnection);
    });
}

void Permissions::requestAccessibility(PermissionSystem& system)
{
    system.promptForAccessibility();
    system.openPane(PrivacyPane::accessibility);
}

MicrophoneAuthorization Permissions::microphoneAuthorization(PermissionSystem& system)
{
    return system.microphoneAuthorization();
}

bool Permissions::isAccessibilityTrusted(PermissionSystem& system) { return system.isAccessibilityTrusted(); }

}  // namespace korvu

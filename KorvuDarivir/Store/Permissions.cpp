#include "KorvuDarivir/Store/Permissions.h"

#include "Platform/Async/MainThread.h"
#include "Platform/Permissions/AccessibilityTrust.h"
#include "Platform/Permissions/SettingsLauncher.h"

#include <QCoreApplication>

#include <memory>

namespace korvu {
namespace {

class DesktopPermissionSystem final : public PermissionSystem {
public:
    MicrophoneAuthorization microphoneAuthorization() override { return MicrophoneAuthorization::authorized; }
    void requestMicrophoneAccess(std::function<void(bool)> answer) override { answer(true); }
    bool isAccessibilityTrusted() override { return platform::AccessibilityTrust::shared().isTrusted(); }
    void promptForAccessibility() override { platform::AccessibilityTrust::shared().requestEnabled(); }
    bool openPane(PrivacyPane pane) override
    {
        return platform::SettingsLauncher::open(pane == PrivacyPane::microphone ? platform::SettingsPane::microphone
                                                                                : platform::SettingsPane::accessibility);
    }
    bool isWaylandSession() override { return platform::isWaylandSession(); }
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
        system.openPane(PrivacyPane::microphone);  // the caller says more when it must
        completion(false);
        return;
    case MicrophoneAuthorization::notDetermined:
        break;
    }
    // The answer may come on any thread and even before this returns; the completion
    // always runs later, on the main thread.
    auto shared = std::make_shared<std::function<void(bool)>>(std::move(completion));
    // The caller's completion guards its own receiver; the application is the receiver
    // here, so the answer is dropped only once the application is gone.
    system.requestMicrophoneAccess([shared](bool granted) {
        platform::deliver(QCoreApplication::instance(), [shared, granted] { (*shared)(granted); });
    });
}

std::optional<PermissionHint> Permissions::requestAccessibility(PermissionSystem& system)
{
    system.promptForAccessibility();
    return openPane(PrivacyPane::accessibility, system);
}

std::optional<PermissionHint> Permissions::openPane(PrivacyPane pane, PermissionSystem& system)
{
    if (system.openPane(pane)) {
        return std::nullopt;
    }
    // No known settings program: say where the setting lives, in the desktop's own words.
    if (pane == PrivacyPane::microphone) {
        return PermissionHint{QStringLiteral("Einstellungen nicht gefunden"),
                              QStringLiteral("Das Mikrofon wählst du in den Toneinstellungen deiner Arbeitsumgebung "
                                             "unter „Eingabe“.")};
    }
    return PermissionHint{QStringLiteral("Einstellungen nicht gefunden"),
                          QStringLiteral("Schalte in den Einstellungen deines Systems unter „Barrierefreiheit“ "
                                         "die Hilfstechnologien ein.")};
}

std::optional<PermissionHint> Permissions::insertionObstacle(bool hasX11Target, PermissionSystem& system)
{
    if (!hasX11Target && system.isWaylandSession()) {
        return waylandHint();
    }
    if (!system.isAccessibilityTrusted()) {
        return accessibilityMissingHint();
    }
    return std::nullopt;
}

PermissionHint Permissions::waylandHint()
{
    return {QStringLiteral("Wayland-Fenster nicht erreichbar"),
            QStringLiteral("KORVU Darivir fügt unter Wayland nur in X11-Programme ein. Wechsle in ein solches "
                           "Programm oder in eine X11-Sitzung.")};
}

PermissionHint Permissions::accessibilityMissingHint()
{
    return {QStringLiteral("Bedienungshilfen fehlen"), QStringLiteral("Ohne Freigabe kann kein Text eingefügt werden.")};
}

MicrophoneAuthorization Permissions::microphoneAuthorization(PermissionSystem& system)
{
    return system.microphoneAuthorization();
}

bool Permissions::isAccessibilityTrusted(PermissionSystem& system) { return system.isAccessibilityTrusted(); }

}  // namespace korvu

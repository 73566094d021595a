#pragma once

#include <functional>

namespace korvu {

// The microphone permission in the four states of the other platform. On Linux there is
// no such permission: the desktop system always answers `authorized`.
enum class MicrophoneAuthorization { notDetermined, restricted, denied, authorized };

// The settings panes the application sends the user to.
enum class PrivacyPane { microphone, accessibility };

// The system side of the permissions. The desktop's is the default; tests replace it.
class PermissionSystem {
public:
    virtual ~PermissionSystem() = default;

    virtual MicrophoneAuthorization microphoneAuthorization() = 0;
    // Asks the user; `answer` may run later and on any thread.
    virtual void requestMicrophoneAccess(std::function<void(bool granted)> answer) = 0;
    virtual bool isAccessibilityTrusted() = 0;
    // Lets the system offer the grant (here: switches the accessibility bus on).
    virtual void promptForAccessibility() = 0;
    // Opens the pane; whether that worked is not checked.
    virtual void openPane(PrivacyPane pane) = 0;

    // The Linux desktop: microphone authorized, Accessibility from the accessibility bus
    // and XTest, panes in the desktop's settings program. Stateless.
    static PermissionSystem& desktop();
};

// The two permission requests, a type without instances. Call them on the main thread
// with a QCoreApplication running: completions always run on the main thread.
class Permissions {
public:
    Permissions() = delete;

    // Calls `completion` with whether the application may record now: at once when
    // authorized; after opening the Microphone pane, with false, when denied or
    // restricted; otherwise the system asks the user and the answer arrives later as a
    // queued call on the main thread.
    static void requestMicrophone(std::function<void(bool granted)> completion,
                                  PermissionSystem& system = PermissionSystem::desktop());

    // Lets the system offer the grant, then opens the Accessibility pane, trusted or not.
    // Nothing waits for the grant; the callers' polls notice it.
    static void requestAccessibility(PermissionSystem& system = PermissionSystem::desktop());

    // The states as the system reports them now (never stored).
    static MicrophoneAuthorization microphoneAuthorization(PermissionSystem& system = PermissionSystem::desktop());
    static bool isAccessibilityTrusted(PermissionSystem& system = PermissionSystem::desktop());
};

}  // namespace korvu

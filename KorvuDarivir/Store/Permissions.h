#pragma once

#include <QString>

#include <functional>
#include <optional>

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
    // Opens the pane; false when no settings program could be started for it (whether the
    // program then shows the pane is not checked).
    virtual bool openPane(PrivacyPane pane) = 0;
    // Whether the session is a Wayland one (the application then runs on Xwayland).
    virtual bool isWaylandSession() = 0;

    // The Linux desktop: microphone authorized, Accessibility from the accessibility bus
    // and XTest, panes in the desktop's settings program. Stateless.
    static PermissionSystem& desktop();
};

// A hint's title and detail, for the hint panel.
struct PermissionHint {
    QString title;
    QString detail;
    friend bool operator==(const PermissionHint&, const PermissionHint&) = default;
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
    // Nothing waits for the grant; the callers' polls notice it. When no settings program
    // can show the pane, the hint that says where the setting is (for the caller to show).
    static std::optional<PermissionHint> requestAccessibility(PermissionSystem& system = PermissionSystem::desktop());

    // Opens the pane; when no settings program can show it, the hint that says where the
    // setting is.
    static std::optional<PermissionHint> openPane(PrivacyPane pane,
                                                  PermissionSystem& system = PermissionSystem::desktop());

    // What stands in the way of inserting text, checked when a dictation starts without an
    // internal sink: in a Wayland session a target that is no X11 program (a Wayland-native
    // window, which the application can neither see nor paste into: no X11 application is
    // in front and no field is known) gives `waylandHint`; otherwise a missing trust gives
    // "Bedienungshilfen fehlen"; none when the way is free.
    static std::optional<PermissionHint> insertionObstacle(bool hasX11Target,
                                                           PermissionSystem& system = PermissionSystem::desktop());

    // "Wayland-Fenster nicht erreichbar" · "KORVU Darivir fügt unter Wayland nur in
    // X11-Programme ein. Wechsle in ein solches Programm oder in eine X11-Sitzung."
    static PermissionHint waylandHint();
    // "Bedienungshilfen fehlen" · "Ohne Freigabe kann kein Text eingefügt werden."
    static PermissionHint accessibilityMissingHint();

    // The states as the system reports them now (never stored).
    static MicrophoneAuthorization microphoneAuthorization(PermissionSystem& system = PermissionSystem::desktop());
    static bool isAccessibilityTrusted(PermissionSystem& system = PermissionSystem::desktop());
};

}  // namespace korvu

#pragma once

#include "KorvuDarivir/App/HostWindow.h"
#include "KorvuDarivir/Store/Permissions.h"
#include "KorvuDarivir/UI/Hint.h"

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <functional>
#include <memory>

class QMenuBar;

namespace platform {
class DesktopNotifications;
class SessionEvents;
}

namespace korvu {

class AppModel;
class Updater;

// Whether the application shows itself as a regular program (while one of its windows is
// open) or only through its status item. Linux has no Dock, so this is recorded for what
// depends on it (and for tests), nothing more.
enum class ActivationPolicy { accessory, regular };

// Why the application is asked to end.
enum class TerminationReason {
    userRequest,   // Ctrl+Q and any other plain request: only closes the windows
    sessionEnding  // log-out, shutdown, a signal: ends the application
};

// Wires the application together at launch and decides how it ends. It runs the launch
// sequence, keeps the permission flags of the model current (a 1 s poll), opens the
// settings and onboarding windows (one of each at most) and turns every quit request
// that is neither an explicit quit, an updater relaunch, a power-off nor the end of the
// session into closing its windows.
//
// On a desktop without a tray the status item cannot be seen, so the application never
// vanishes there: when its last window closes, a desktop notification says once that it
// goes on running and how to reach it; where no notification server runs (or it refuses),
// the settings window stays, minimised, instead. Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    // The other parts the delegate starts and calls, so that tests can stand in for them.
    // `desktop()` gives the application's own.
    struct Parts {
        // The dictation controller, which the callbacks below reach weakly. The delegate owns
        // it and ends it when it ends itself, after its windows and status item and before
        // its own permission check is waited for.
        std::shared_ptr<QObject> controller;
        std::function<void()> installHotkeys;
        std::function<void()> startVocabularyCapture;
        std::function<void()> startController;
        // Shows, hides or re-places the floating button.
        std::function<void()> updatePanel;
        // Discards a running recording; nothing in any other phase.
        std::function<void()> cancelRecording;
        // Makes the status item with its cancel and quit actions; the delegate keeps it.
        std::function<std::shared_ptr<void>(std::function<void()> cancel, std::function<void()> quit)> makeStatusItem;
        // Whether the desktop shows status items at all.
        std::function<bool()> trayAvailable;
        // The desktop's notifications (a new instance when none is given).
        std::shared_ptr<platform::DesktopNotifications> notifications;
        Updater* updater = nullptr;
        // Must outlive the delegate; the delegate waits for its checks when it ends.
        PermissionSystem* permissions = nullptr;
        // Ends the event loop; QCoreApplication::quit when none is given.
        std::function<void()> terminate;
        // The damaged files the stores set aside while starting; the launch names them
        // once, on the settings window's history page when that window is open, else in
        // `showHint` beside the mouse pointer.
        std::function<QStringList()> filesSetAside;
        std::function<void(const Hint&)> showHint;
        // Whether the process signals and logind are watched (off in tests that run
        // several delegates).
        bool watchSession = true;

        static Parts desktop();
    };

    static constexpr const char* settingsTitle = "KORVU Darivir – Einstellungen";
    static constexpr const char* onboardingTitle = "KORVU Darivir – Willkommen";
    static constexpr QSize settingsSize{760, 560};
    static constexpr QSize onboardingSize{640, 540};
    static constexpr int permissionPollMs = 1000;
    static constexpr const char* runningOnTitle = "KORVU Darivir läuft weiter";
    static constexpr const char* runningOnDetail =
        "Diese Arbeitsumgebung zeigt kein Symbol im Panel. Starte KORVU Darivir erneut, um die Einstellungen zu öffnen.";

    explicit AppDelegate(Parts parts, QObject* parent = nullptr);
    ~AppDelegate() override;

    // The launch sequence; call once, with the event loop about to run.
    void applicationDidFinishLaunching();

    // The quit decision: true when the application is to end now. Otherwise the windows
    // are closed and the application goes on with its status item.
    bool shouldTerminate(TerminationReason reason);
    // Asks to end: quits the event loop when `shouldTerminate` agrees.
    void requestTermination(TerminationReason reason);
    // The explicit quit (status menu, "KORVU Darivir ganz beenden").
    void quitFromMenu();

    void openSettings();
    void openOnboarding();

    ActivationPolicy activationPolicy() const { return policy_; }
    bool quitRequested() const { return quitRequested_; }
    HostWindow* settingsWindow() const { return settingsWindow_; }
    HostWindow* onboardingWindow() const { return onboardingWindow_; }
    // The application's menus, built at launch; every window gets a copy of its own.
    QMenuBar* mainMenu() const { return mainMenu_.get(); }

    // Builds the three menus ("KORVU Darivir", "Bearbeiten", "Fenster") with Ctrl in place
    // of Command.
    std::unique_ptr<QMenuBar> makeMainMenu();

private:
    void show(HostWindow* window);
    void windowWillClose(HostWindow* window);
    void announceFilesSetAside();
    HostWindow* makeSettingsWindow();
    // Without a tray: whether closing `window` would leave no way back that a
    // notification can give, so that it is to stay, minimised.
    bool keepsWayBack(HostWindow* window) const;
    // Without a tray, after the last window closed: the notification, or the settings
    // window minimised.
    void leaveWayBack();
    bool trayMissing() const;
    void pollPermissions();
    void applyPermissions(bool accessibilityTrusted, bool microphoneAuthorized);

    Parts parts_;
    AppModel& model_;
    std::shared_ptr<void> statusItem_;
    QPointer<HostWindow> settingsWindow_;
    QPointer<HostWindow> onboardingWindow_;
    QTimer permissionTimer_;
    bool pollRunning_ = false;
    bool quitRequested_ = false;
    bool runningOnToldOnce_ = false;
    bool settingsFailureShown_ = false;  // a failed settings write has been told since the last good one
    bool ending_ = false;  // the application is on its way out
    ActivationPolicy policy_ = ActivationPolicy::accessory;
    std::unique_ptr<QMenuBar> mainMenu_;
    platform::SessionEvents* session_ = nullptr;
    // The permission checks; waited for when the delegate ends.
    QThreadPool workers_;
};

}  // namespace korvu

#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

namespace platform {

// The accessibility bus (AT-SPI 2) as seen from a session bus, asked with blocking calls (for
// tests and tools; the application asks through AccessibilityTrust): its launcher
// "org.a11y.Bus" hands out the bus address and keeps the flag "org.a11y.Status.IsEnabled"
// that tells toolkits to expose their widgets. Every call is bounded by the time-out and
// ends in "nothing found" (false or none) when the launcher or the bus does not answer.
class AccessibilityBus {
public:
    explicit AccessibilityBus(QDBusConnection session = QDBusConnection::sessionBus(),
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(500));

    // The accessibility bus's address; none when no launcher answers.
    std::optional<QString> address() const;
    // True when the launcher gives an address and the bus there answers a call.
    bool answers() const;
    // The launcher's IsEnabled flag; none when it cannot be read.
    std::optional<bool> isEnabled() const;
    // Sets IsEnabled; true when the launcher took it.
    bool setEnabled(bool enabled) const;

private:
    QDBusConnection session_;
    std::chrono::milliseconds timeout_;
};

// Synthetic input: an X11 display that we can reach and that has the XTest extension. In a
// Wayland session that is Xwayland, whose synthetic keys reach the X11 programs only.
bool syntheticInputAvailable();

// Whether the desktop session is a Wayland one ($XDG_SESSION_TYPE "wayland" or a
// $WAYLAND_DISPLAY). There the application runs on Xwayland: it can paste into X11
// programs, but not into Wayland-native windows, which it cannot even see.
bool isWaylandSession();

// The one meaning of "the application is trusted for Accessibility": the accessibility bus
// answers, its launcher says it is enabled, and synthetic input works.
//
// Asked every second on the main thread (the permission poll), at every dictation start
// and whenever a menu opens, so asking is cheap: isTrusted() answers from what was learned
// last and never blocks. Learning happens asynchronously over one kept connection to the
// accessibility bus (made again only when the launcher hands out another address): when
// the launcher appears or goes on the session bus, when it reports a changed flag, and
// when a question finds the last answer older than half a second. `trustedChanged` tells
// of every change.
class AccessibilityTrust : public QObject {
    Q_OBJECT
public:
    explicit AccessibilityTrust(QDBusConnection session = QDBusConnection::sessionBus(),
                                std::function<bool()> syntheticInput = &syntheticInputAvailable);
    ~AccessibilityTrust() override;

    // The desktop's, for the main thread; made on first use.
    static AccessibilityTrust& shared();

    // From any thread; off the trust's own thread it only reads and asks its thread to learn.
    bool isTrusted();
    // Learns anew now; the answer comes later (trustedChanged when it changed).
    void refresh();
    // Whether a refresh is under way (for tests).
    bool isRefreshing() const { return pending_ > 0; }

    // What the other platform's trust prompt does here: switches the accessibility flag on,
    // so that the desktop's programs expose their text fields. Only the user's own request
    // may call it. Sent without waiting; the change is learned as any other.
    void requestEnabled();  // from any thread

signals:
    void trustedChanged(bool trusted);

private slots:
    void launcherPropertiesChanged();

private:
    void finish();

    QDBusConnection session_;
    std::function<bool()> syntheticInput_;
    std::optional<bool> syntheticInputKnown_;
    QString busAddress_;
    QString busConnectionName_;
    std::optional<QDBusConnection> bus_;
    std::chrono::steady_clock::time_point lastRefresh_{};
    int pending_ = 0;
    bool again_ = false;
    bool reachable_ = false;
    bool enabled_ = false;
    std::atomic<bool> trusted_{false};
};

}  // namespace platform

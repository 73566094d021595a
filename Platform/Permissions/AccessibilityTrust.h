#pragma once

#include <QDBusConnection>
#include <QString>

#include <chrono>
#include <optional>

namespace platform {

// The accessibility bus (AT-SPI 2) as seen from a session bus: its launcher
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

// Synthetic input: an X11 display that we can reach and that has the XTest extension. A
// Wayland session counts as none: there XTest reaches only the programs on Xwayland.
bool syntheticInputAvailable();

// The platform meaning of "the application is trusted for Accessibility": the
// accessibility bus answers, it is enabled, and synthetic input works. Read afresh on
// every call; nothing is cached.
class AccessibilityTrust {
public:
    AccessibilityTrust() = delete;

    static bool isTrusted(const AccessibilityBus& bus = AccessibilityBus());
    // What the other platform's trust prompt does here: switches the accessibility flag on,
    // so that the desktop's programs expose their text fields. True when it was taken.
    static bool requestEnabled(const AccessibilityBus& bus = AccessibilityBus());
};

}  // namespace platform

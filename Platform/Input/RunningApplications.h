#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace platform {

// A running application as the dictation sees it: the process, the id that per-application
// settings are keyed by, and the name shown to the user.
struct RunningApplication {
    std::int64_t pid = 0;
    // The lower-cased class of the application's window (WM_CLASS), the Linux stand-in for
    // a bundle identifier ("firefox", "org.gnome.texteditor"); empty when the process has
    // no window that says it.
    QString appId;
    // The name from the application's desktop entry when one names it, else the window
    // class as the window gives it, else the process's command name; empty when none is
    // known.
    QString name;

    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

// Finds running applications. `X11RunningApplications` is the desktop's (EWMH window
// lists, WM_CLASS, desktop entries, /proc); tests give a fake. Main thread only.
class RunningApplications {
public:
    virtual ~RunningApplications() = default;

    // The application of the process; empty when no such process runs.
    virtual std::optional<RunningApplication> application(std::int64_t pid) = 0;
    // The application whose window is active; empty when there is none or it is unknown.
    virtual std::optional<RunningApplication> frontmost() = 0;

    // The desktop's (X11). Lives as long as the process.
    static RunningApplications& desktop();
};

}  // namespace platform

#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

struct xcb_connection_t;

namespace platform {

// The process that owns the active window of the X display.
//
// With a window manager that follows the desktop conventions the active window is named
// on the root window (_NET_ACTIVE_WINDOW); without one (a bare X server) it is the window
// that has the input focus. The process is the window's _NET_WM_PID, looked up on the
// window and then on its ancestors, since some window managers focus a frame around it.
//
// Uses its own X connection, opened on first use; every X error ends in "nothing found"
// (xcb reports errors per request, so a window that disappears meanwhile is harmless).
class ActiveWindowProcess {
public:
    ActiveWindowProcess() = default;
    ~ActiveWindowProcess();
    ActiveWindowProcess(const ActiveWindowProcess&) = delete;
    ActiveWindowProcess& operator=(const ActiveWindowProcess&) = delete;

    // The owner of the active window; empty without a display, an active window or a pid.
    std::optional<pid_t> pid();

private:
    bool connect();
    std::optional<std::uint32_t> activeWindow();
    std::optional<pid_t> windowPid(std::uint32_t window);

    xcb_connection_t* connection_ = nullptr;
    bool connectFailed_ = false;
    std::uint32_t root_ = 0;
    std::uint32_t activeWindowAtom_ = 0;
    std::uint32_t pidAtom_ = 0;
};

}  // namespace platform

// Kept apart from the D-Bus code: Xlib's macros (Bool, Status, None) clash with Qt's names.
#include "Platform/Permissions/AccessibilityTrust.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdlib>
#include <cstring>

namespace platform {

bool syntheticInputAvailable()
{
    const char* sessionType = std::getenv("XDG_SESSION_TYPE");
    const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
    if ((sessionType != nullptr && std::strcmp(sessionType, "wayland") == 0)
        || (waylandDisplay != nullptr && *waylandDisplay != '\0')) {
        return false;
    }
    const char* displayName = std::getenv("DISPLAY");
    if (displayName == nullptr || *displayName == '\0') {
        return false;
    }
    Display* display = XOpenDisplay(displayName);
    if (display == nullptr) {
        return false;
    }
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    const bool available = XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) == True;
    XCloseDisplay(display);
    return available;
}

}  // namespace platform

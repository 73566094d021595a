#include "Platform/Permissions/AccessibilityTrust.h"

#include <QGuiApplication>

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace platform {
namespace {

// Asked over xcb rather than Xlib: a connection that breaks half-way only reports an
// error here, where Xlib's default handler would end the whole program.
bool hasXTest(xcb_connection_t* connection)
{
    constexpr char name[] = "XTEST";
    xcb_query_extension_reply_t* reply =
        xcb_query_extension_reply(connection, xcb_query_extension(connection, sizeof name - 1, name), nullptr);
    const bool present = reply != nullptr && reply->present != 0;
    std::free(reply);
    return present;
}

}  // namespace

bool isWaylandSession()
{
    const char* sessionType = std::getenv("XDG_SESSION_TYPE");
    const char* waylandDisplay = std::getenv("WAYLAND_DISPLAY");
    return (sessionType != nullptr && std::strcmp(sessionType, "wayland") == 0)
           || (waylandDisplay != nullptr && *waylandDisplay != '\0');
}

bool syntheticInputAvailable()
{
    // On X11 Qt already holds a connection to the display: ask on that one.
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (auto* x11 = gui != nullptr ? gui->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        if (xcb_connection_t* connection = x11->connection()) {
            return hasXTest(connection);
        }
    }
    const char* displayName = std::getenv("DISPLAY");
    if (displayName == nullptr || *displayName == '\0') {
        return false;
    }
    // A busy X server may turn a new connection away for a moment (its listen queue is
    // full), so a refused one is tried again a few times before the display counts as gone.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10 << attempt));
        }
        xcb_connection_t* connection = xcb_connect(displayName, nullptr);
        const bool connected = xcb_connection_has_error(connection) == 0;
        const bool available = connected && hasXTest(connection);
        const bool broken = xcb_connection_has_error(connection) != 0;
        xcb_disconnect(connection);
        if (connected && !broken) {
            return available;
        }
    }
    return false;
}

}  // namespace platform

#pragma once

#include <cstdint>
#include <optional>

struct _XDisplay;
struct xcb_connection_t;

namespace platform {

// The X connection of the running Qt application, when it runs on the xcb platform.
// Every X11 part of the layer works on this one connection, so that the grabs, the
// synthetic keys and the clipboard all live in the same client as Qt's windows.
struct X11Display {
    _XDisplay* display = nullptr;
    xcb_connection_t* connection = nullptr;
    std::uint32_t root = 0;

    // Empty when there is no QGuiApplication or it does not run on X11 (offscreen,
    // Wayland): every caller then finds nothing.
    static std::optional<X11Display> current();
};

}  // namespace platform

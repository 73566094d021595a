#include "Platform/Input/X11Display.h"

#include <QGuiApplication>

#include <X11/Xlib.h>
#include <xcb/xcb.h>

namespace platform {

std::optional<X11Display> X11Display::current()
{
    // Checked: a plain core application has no display (qGuiApp would be a bad downcast).
    auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (app == nullptr) return std::nullopt;
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->display() == nullptr || x11->connection() == nullptr) return std::nullopt;
    X11Display result;
    result.display = x11->display();
    result.connection = x11->connection();
    result.root = static_cast<std::uint32_t>(DefaultRootWindow(result.display));
    return result;
}

}  // namespace platform

#include "Platform/Accessibility/ActiveWindowProcess.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace platform {

namespace {

struct FreeDeleter {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;

// Window managers nest a client in at most a frame or two; the walk up stops well before
// the root.
constexpr int kMaxAncestors = 8;

std::uint32_t internAtom(xcb_connection_t* connection, const char* name)
{
    const auto cookie = xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(std::strlen(name)), name);
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr));
    return reply ? reply->atom : static_cast<std::uint32_t>(XCB_ATOM_NONE);
}

// A 32-bit property of one item, or nothing.
std::optional<std::uint32_t> cardinalProperty(xcb_connection_t* connection, std::uint32_t window,
                                              std::uint32_t property, std::uint32_t type)
{
    const auto cookie = xcb_get_property(connection, 0, window, property, type, 0, 1);
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection, cookie, nullptr));
    if (!reply || reply->type != type || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    std::memcpy(&value, xcb_get_property_value(reply.get()), sizeof value);
    return value;
}

}  // namespace

ActiveWindowProcess::~ActiveWindowProcess()
{
    if (connection_ != nullptr) {
        xcb_disconnect(connection_);
    }
}

bool ActiveWindowProcess::connect()
{
    if (connection_ != nullptr && xcb_connection_has_error(connection_) == 0) {
        return true;
    }
    if (connection_ != nullptr) {
        // The server went away; a later display may come back under the same name.
        xcb_disconnect(connection_);
        connection_ = nullptr;
    }
    if (connectFailed_) {
        return false;
    }
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        // No display (Wayland without Xwayland, a headless session): do not retry on
        // every poll.
        connectFailed_ = true;
        return false;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        xcb_disconnect(connection);
        connectFailed_ = true;
        return false;
    }
    connection_ = connection;
    root_ = screens.data->root;
    activeWindowAtom_ = internAtom(connection_, "_NET_ACTIVE_WINDOW");
    pidAtom_ = internAtom(connection_, "_NET_WM_PID");
    return true;
}

std::optional<std::uint32_t> ActiveWindowProcess::activeWindow()
{
    if (activeWindowAtom_ != XCB_ATOM_NONE) {
        if (const auto named = cardinalProperty(connection_, root_, activeWindowAtom_, XCB_ATOM_WINDOW)) {
            // A window manager is in charge: its word holds, also when it says "none".
            if (*named == XCB_WINDOW_NONE) {
                return std::nullopt;
            }
            return *named;
        }
    }
    Reply<xcb_get_input_focus_reply_t> focus(
        xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    if (!focus || focus->focus == XCB_WINDOW_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT
        || focus->focus == root_) {
        return std::nullopt;
    }
    return focus->focus;
}

std::optional<pid_t> ActiveWindowProcess::windowPid(std::uint32_t window)
{
    if (pidAtom_ == XCB_ATOM_NONE) {
        return std::nullopt;
    }
    for (int level = 0; level <= kMaxAncestors && window != XCB_WINDOW_NONE && window != root_; ++level) {
        if (const auto pid = cardinalProperty(connection_, window, pidAtom_, XCB_ATOM_CARDINAL)) {
            if (*pid == 0 || *pid > 0x7fffffffU) {
                return std::nullopt;
            }
            return static_cast<pid_t>(*pid);
        }
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr));
        if (!tree) {
            return std::nullopt;
        }
        window = tree->parent;
    }
    return std::nullopt;
}

std::optional<pid_t> ActiveWindowProcess::pid()
{
    if (!connect()) {
        return std::nullopt;
    }
    const auto window = activeWindow();
    if (!window) {
        return std::nullopt;
    }
    return windowPid(*window);
}

}  // namespace platform

#include "Platform/Input/ActiveWindow.h"
#include "Platform/Input/XcbReply.h"

#include "Platform/Input/X11Display.h"

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace platform {

namespace {

using xcbutil::atom;
using xcbutil::Reply;
using xcbutil::wrap;

// The 32-bit values of a property (windows, cardinals, atoms).
std::vector<std::uint32_t> property32(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t name,
                                      xcb_atom_t type)
{
    std::vector<std::uint32_t> values;
    if (name == XCB_ATOM_NONE) return values;
    const auto reply = wrap(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, name, type, 0, 4096), nullptr));
    if (!reply || reply->format != 32) return values;
    const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / 4;
    values.assign(data, data + count);
    return values;
}

std::optional<std::int64_t> pidOf(xcb_connection_t* connection, xcb_window_t window)
{
    const auto values = property32(connection, window, atom(connection, "_NET_WM_PID"), XCB_ATOM_CARDINAL);
    if (values.empty() || values.front() == 0) return std::nullopt;
    return static_cast<std::int64_t>(values.front());
}

// The child of the root window that contains `window`.
xcb_window_t topLevel(xcb_connection_t* connection, xcb_window_t root, xcb_window_t window)
{
    for (int depth = 0; depth < 64 && window != XCB_WINDOW_NONE && window != root; ++depth) {
        const auto tree = wrap(xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
        if (!tree) return XCB_WINDOW_NONE;
        if (tree->parent == root) return window;
        window = tree->parent;
    }
    return XCB_WINDOW_NONE;
}

bool isViewable(xcb_connection_t* connection, xcb_window_t window)
{
    const auto attributes = wrap(xcb_get_window_attributes_reply(
        connection, xcb_get_window_attributes(connection, window), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE && !attributes->override_redirect;
}

// Our own windows carry _NET_WM_PID on the client window, which a reparenting window
// manager puts inside its frame; look one level down as well.
std::optional<std::int64_t> pidOfTopLevel(xcb_connection_t* connection, xcb_window_t window)
{
    if (auto pid = pidOf(connection, window)) return pid;
    const auto tree = wrap(xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr));
    if (!tree) return std::nullopt;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
        if (auto pid = pidOf(connection, children[i])) return pid;
    }
    return std::nullopt;
}

bool windowManagerSupports(xcb_connection_t* connection, xcb_window_t root, xcb_atom_t feature)
{
    const auto supported = property32(connection, root, atom(connection, "_NET_SUPPORTED"), XCB_ATOM_ATOM);
    return std::find(supported.begin(), supported.end(), feature) != supported.end();
}

}  // namespace

std::optional<std::int64_t> ActiveWindow::frontmostPid()
{
    const auto x11 = X11Display::current();
    if (!x11) return std::nullopt;
    xcb_connection_t* connection = x11->connection;
    const auto active = property32(connection, x11->root, atom(connection, "_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW);
    if (!active.empty() && active.front() != XCB_WINDOW_NONE) {
        if (auto pid = pidOf(connection, active.front())) return pid;
    }
    const auto focus = wrap(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    if (!focus || focus->focus == XCB_WINDOW_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT) {
        return std::nullopt;
    }
    const xcb_window_t window = topLevel(connection, x11->root, focus->focus);
    if (window == XCB_WINDOW_NONE) return std::nullopt;
    return pidOfTopLevel(connection, window);
}

ActiveWindow::Activation ActiveWindow::activate(std::int64_t pid)
{
    const auto x11 = X11Display::current();
    if (!x11) return Activation::notFound;
    if (frontmostPid() == pid) return Activation::alreadyFrontmost;
    xcb_connection_t* connection = x11->connection;

    // The window manager's list when there is one, else the root's children; both are
    // in stacking order from the bottom, so the last match is the top-most window.
    std::vector<std::uint32_t> candidates =
        property32(connection, x11->root, atom(connection, "_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW);
    if (candidates.empty()) {
        candidates = property32(connection, x11->root, atom(connection, "_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
    }
    const bool managed = !candidates.empty();
    if (!managed) {
        const auto tree = wrap(xcb_query_tree_reply(connection, xcb_query_tree(connection, x11->root), nullptr));
        if (tree) {
            const xcb_window_t* children = xcb_query_tree_children(tree.get());
            candidates.assign(children, children + xcb_query_tree_children_length(tree.get()));
        }
    }
    xcb_window_t target = XCB_WINDOW_NONE;
    for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {
        if (pidOf(connection, *it) != pid) continue;
        if (!managed && !isViewable(connection, *it)) continue;
        target = *it;
        break;
    }
    if (target == XCB_WINDOW_NONE) return Activation::notFound;

    const xcb_atom_t activeAtom = atom(connection, "_NET_ACTIVE_WINDOW");
    if (managed || windowManagerSupports(connection, x11->root, activeAtom)) {
        // Source indication 2 (a pager or similar tool) is what focus-stealing
        // prevention lets through.
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = target;
        message.type = activeAtom;
        message.data.data32[0] = 2;
        message.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection, 0, x11->root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
    } else {
        const std::uint32_t above = XCB_STACK_MODE_ABOVE;
        xcb_configure_window(connection, target, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        xcb_set_input_focus(connection, XCB_INPUT_FOCUS_PARENT, target, XCB_CURRENT_TIME);
    }
    xcb_flush(connection);
    return Activation::activated;
}

}  // namespace platform

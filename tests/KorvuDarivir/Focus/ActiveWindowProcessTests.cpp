// The frontmost process on the test session's X display: without a window manager it is
// the owner of the window with the input focus; when a window manager names the active
// window on the root, its word holds.
#include "TargetProgram.h"

#include "Platform/Accessibility/ActiveWindowProcess.h"

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

using focustest::Target;
using platform::ActiveWindowProcess;

// A connection of the test's own that plays the window manager: it names windows on the
// root and makes windows with and without a pid. Everything it made goes with it.
class FakeWindowManager {
public:
    FakeWindowManager()
    {
        connection_ = xcb_connect(nullptr, nullptr);
        root_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        activeAtom_ = atom("_NET_ACTIVE_WINDOW");
        pidAtom_ = atom("_NET_WM_PID");
    }
    ~FakeWindowManager()
    {
        xcb_delete_property(connection_, root_, activeAtom_);
        xcb_flush(connection_);
        xcb_disconnect(connection_);
    }
    FakeWindowManager(const FakeWindowManager&) = delete;
    FakeWindowManager& operator=(const FakeWindowManager&) = delete;

    bool ok() const { return xcb_connection_has_error(connection_) == 0; }

    xcb_window_t window(xcb_window_t parent, std::optional<std::uint32_t> pid)
    {
        const xcb_window_t window = xcb_generate_id(connection_);
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, parent == 0 ? root_ : parent, 0, 0, 10, 10, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
        if (pid) {
            xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window, pidAtom_, XCB_ATOM_CARDINAL, 32, 1, &*pid);
        }
        sync();
        return window;
    }

    void nameActive(xcb_window_t window)
    {
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, root_, activeAtom_, XCB_ATOM_WINDOW, 32, 1, &window);
        sync();
    }

    void forgetActive()
    {
        xcb_delete_property(connection_, root_, activeAtom_);
        sync();
    }

private:
    xcb_atom_t atom(const char* name)
    {
        auto* reply = xcb_intern_atom_reply(
            connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply != nullptr ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
        std::free(reply);
        return result;
    }

    // Waits until the server has handled every request sent so far.
    void sync() { std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr)); }

    xcb_connection_t* connection_ = nullptr;
    xcb_window_t root_ = 0;
    xcb_atom_t activeAtom_ = 0;
    xcb_atom_t pidAtom_ = 0;
};

TEST(ActiveWindowProcess, FollowsTheNamedActiveWindowElseTheInputFocus)
{
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DISPLAY")) << "run inside scripts/with-test-session.sh";
    Target target;
    ASSERT_TRUE(target.await("ready", "plain")) << "the target program did not start";
    FakeWindowManager manager;
    ASSERT_TRUE(manager.ok());
    ActiveWindowProcess active;

    // No window manager: the target has the input focus.
    EXPECT_EQ(active.pid(), target.pid());

    // A window manager names a window of another process.
    manager.nameActive(manager.window(0, 4321));
    EXPECT_EQ(active.pid(), 4321);

    // ...a client window without a pid inside a frame that has one.
    const xcb_window_t frame = manager.window(0, 5432);
    manager.nameActive(manager.window(frame, std::nullopt));
    EXPECT_EQ(active.pid(), 5432);

    // ...no active window at all: nothing, though the target still has the input focus.
    manager.nameActive(XCB_WINDOW_NONE);
    EXPECT_EQ(active.pid(), std::nullopt);

    // ...a window whose owner is not known.
    manager.nameActive(manager.window(0, std::nullopt));
    EXPECT_EQ(active.pid(), std::nullopt);

    manager.forgetActive();
    EXPECT_EQ(active.pid(), target.pid());
}

}  // namespace

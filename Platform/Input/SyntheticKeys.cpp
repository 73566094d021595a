#include "Platform/Input/SyntheticKeys.h"

#include "Platform/Input/KeyCodes.h"
#include "Platform/Input/KeyboardLayout.h"
#include "Platform/Input/SyntheticKeyboard.h"
#include "Platform/Input/X11Display.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace platform {

namespace {

constexpr std::uint8_t kControlLeftKeyCode = 37;

bool isDown(const std::uint8_t* keys, std::uint8_t code)
{
    return (keys[code / 8] & (1u << (code % 8))) != 0;
}

class XTestKeyboard final : public SyntheticKeyboard {
public:
    bool controlChord(std::uint32_t keysym, std::uint8_t fallbackKeyCode) override
    {
        return SyntheticKeys::controlChord(keysym, fallbackKeyCode);
    }
    unsigned heldModifiers() override { return SyntheticKeys::heldModifiers(); }
};

}  // namespace

SyntheticKeyboard& SyntheticKeyboard::desktop()
{
    static XTestKeyboard keyboard;
    return keyboard;
}

unsigned SyntheticKeys::heldModifiers()
{
    const auto x11 = X11Display::current();
    const auto masks = KeyboardLayout::modifierMasks();
    if (!x11 || !masks) return 0;
    const auto reply = std::unique_ptr<xcb_query_pointer_reply_t, decltype(&std::free)>(
        xcb_query_pointer_reply(x11->connection, xcb_query_pointer(x11->connection, x11->root), nullptr), &std::free);
    if (!reply) return 0;
    unsigned held = 0;
    if (masks->control != 0 && (reply->mask & masks->control)) held |= ModifierControl;
    if (masks->alt != 0 && (reply->mask & masks->alt)) held |= ModifierAlt;
    if (masks->shift != 0 && (reply->mask & masks->shift)) held |= ModifierShift;
    if (masks->super != 0 && (reply->mask & masks->super)) held |= ModifierSuper;
    return held;
}

bool SyntheticKeys::controlChord(std::uint32_t keysym, std::uint8_t fallbackKeyCode)
{
    const auto x11 = X11Display::current();
    if (!x11) return false;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(x11->display, &eventBase, &errorBase, &major, &minor)) return false;

    xcb_ungrab_keyboard(x11->connection, XCB_CURRENT_TIME);

    const auto reply = std::unique_ptr<xcb_query_keymap_reply_t, decltype(&std::free)>(
        xcb_query_keymap_reply(x11->connection, xcb_query_keymap(x11->connection), nullptr), &std::free);
    if (reply) {
        for (const std::uint8_t code : KeyboardLayout::modifierKeyCodes()) {
            if (isDown(reply->keys, code)) XTestFakeKeyEvent(x11->display, code, False, CurrentTime);
        }
    }

    const std::uint8_t control = KeyboardLayout::keyCode(XK_Control_L).value_or(kControlLeftKeyCode);
    const std::uint8_t key = KeyboardLayout::keyCode(keysym).value_or(fallbackKeyCode);
    XTestFakeKeyEvent(x11->display, control, True, CurrentTime);
    XTestFakeKeyEvent(x11->display, key, True, CurrentTime);
    XTestFakeKeyEvent(x11->display, key, False, CurrentTime);
    XTestFakeKeyEvent(x11->display, control, False, CurrentTime);
    XFlush(x11->display);
    return true;
}

}  // namespace platform

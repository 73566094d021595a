#include "Platform/Input/GlobalHotkeys.h"

#include "Platform/Input/KeyCodes.h"
#include "Platform/Input/KeyboardLayout.h"
#include "Platform/Input/X11Display.h"

#include <QCoreApplication>
#include <QPointer>
#include <QtDebug>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

namespace platform {

namespace {

constexpr std::uint8_t kBadAccess = 10;
// How often a held shortcut key's state is checked. Shorter than any pause a person makes
// between letting go of a key and pressing it again.
constexpr auto kHeldKeyCheckInterval = std::chrono::milliseconds(30);

std::vector<std::uint16_t> lockCombinations(std::uint16_t lock, std::uint16_t numLock)
{
    std::vector<std::uint16_t> combos{0};
    if (lock != 0) combos.push_back(lock);
    if (numLock != 0 && numLock != lock) {
        combos.push_back(numLock);
        if (lock != 0) combos.push_back(static_cast<std::uint16_t>(lock | numLock));
    }
    return combos;
}

}  // namespace

GlobalHotkeys::GlobalHotkeys(QObject* parent) : QObject(parent)
{
    heldKeyCheck_.setInterval(kHeldKeyCheckInterval);
    connect(&heldKeyCheck_, &QTimer::timeout, this, &GlobalHotkeys::checkHeldKeys);
    const auto x11 = X11Display::current();
    if (!x11) return;
    Bool supported = False;
    XkbSetDetectableAutoRepeat(x11->display, True, &supported);
    autoRepeatDetectable_ = supported == True;
    if (auto masks = KeyboardLayout::modifierMasks()) {
        lockMask_ = masks->lock;
        numLockMask_ = masks->numLock;
    }
    if (auto* app = QCoreApplication::instance()) {
        app->installNativeEventFilter(this);
        filterInstalled_ = true;
    }
}

GlobalHotkeys::~GlobalHotkeys()
{
    for (const auto& [id, grab] : grabs_) ungrabKey(grab);
    grabs_.clear();
    if (filterInstalled_) {
        if (auto* app = QCoreApplication::instance()) app->removeNativeEventFilter(this);
    }
}

GlobalHotkeys::GrabResult GlobalHotkeys::grab(int id, std::uint8_t x11KeyCode, unsigned modifiers)
{
    ungrab(id);
    const auto x11 = X11Display::current();
    const auto masks = KeyboardLayout::modifierMasks();
    if (!x11 || !masks || x11KeyCode < 8) return GrabResult::unavailable;

    Grab grab;
    grab.keyCode = x11KeyCode;
    if (modifiers & ModifierControl) grab.mask |= masks->control;
    if (modifiers & ModifierAlt) grab.mask |= masks->alt;
    if (modifiers & ModifierShift) grab.mask |= masks->shift;
    if (modifiers & ModifierSuper) grab.mask |= masks->super;

    // Two of our own shortcuts on one combination: the server would let the second grab
    // silently replace the first, so the first one keeps it.
    for (const auto& [otherId, other] : grabs_) {
        if (other.keyCode == grab.keyCode && other.mask == grab.mask) return GrabResult::inUse;
    }

    lockMask_ = masks->lock;
    numLockMask_ = masks->numLock;
    // Checked requests: the error comes back here instead of reaching Xlib's default
    // handler, which would end the program on BadAccess.
    bool inUse = false;
    bool failed = false;
    grab.lockCombinations = lockCombinations(lockMask_, numLockMask_);
    for (const std::uint16_t extra : grab.lockCombinations) {
        const xcb_void_cookie_t cookie =
            xcb_grab_key_checked(x11->connection, 0, x11->root, static_cast<std::uint16_t>(grab.mask | extra),
                                 grab.keyCode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        if (xcb_generic_error_t* error = xcb_request_check(x11->connection, cookie)) {
            if (error->error_code == kBadAccess) inUse = true;
            failed = true;
            std::free(error);
        }
    }
    if (failed) {
        // Drop the combinations we did get: half a shortcut would work only with the
        // lock keys in some states.
        ungrabKey(grab);
        return inUse ? GrabResult::inUse : GrabResult::unavailable;
    }
    grabs_[id] = grab;
    return GrabResult::grabbed;
}

void GlobalHotkeys::ungrab(int id)
{
    const auto it = grabs_.find(id);
    if (it == grabs_.end()) return;
    ungrabKey(it->second);
    grabs_.erase(it);
}

bool GlobalHotkeys::isGrabbed(int id) const
{
    return grabs_.count(id) != 0;
}

void GlobalHotkeys::ungrabKey(const Grab& grab)
{
    const auto x11 = X11Display::current();
    if (!x11) return;
    for (const std::uint16_t extra : grab.lockCombinations) {
        const xcb_void_cookie_t cookie = xcb_ungrab_key_checked(
            x11->connection, grab.keyCode, x11->root, static_cast<std::uint16_t>(grab.mask | extra));
        if (xcb_generic_error_t* error = xcb_request_check(x11->connection, cookie)) std::free(error);
    }
}

bool GlobalHotkeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/)
{
    if (eventType != "xcb_generic_event_t" || grabs_.empty()) return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    const auto x11 = X11Display::current();
    if (!x11 || key->event != x11->root) return false;

    const bool pressed = type == XCB_KEY_PRESS;
    const std::uint16_t ignored = static_cast<std::uint16_t>(lockMask_ | numLockMask_);
    // Only the modifier bits count; pointer buttons and the XKB group ride in `state` too.
    const std::uint16_t state = static_cast<std::uint16_t>(key->state & 0xff & ~ignored);
    for (auto& [id, grab] : grabs_) {
        if (grab.keyCode != key->detail) continue;
        if (pressed) {
            if (state != grab.mask) continue;
            if (grab.down) return true;  // auto-repeat
            grab.down = true;
            heldKeyCheck_.start();
            post(id, true);
            return true;
        }
        if (!grab.down) continue;
        grab.down = false;
        post(id, false);
        return true;
    }
    return false;
}

void GlobalHotkeys::checkHeldKeys()
{
    const auto x11 = X11Display::current();
    if (!x11) {
        heldKeyCheck_.stop();
        return;
    }
    const auto reply = std::unique_ptr<xcb_query_keymap_reply_t, decltype(&std::free)>(
        xcb_query_keymap_reply(x11->connection, xcb_query_keymap(x11->connection), nullptr), &std::free);
    if (!reply) return;  // asked again on the next tick
    bool anyHeld = false;
    for (auto& [id, grab] : grabs_) {
        if (!grab.down) continue;
        if ((reply->keys[grab.keyCode / 8] & (1u << (grab.keyCode % 8))) != 0) {
            anyHeld = true;
            continue;
        }
        // Up, though no release reached us: it went to another program.
        grab.down = false;
        post(id, false);
    }
    if (!anyHeld) heldKeyCheck_.stop();
}

void GlobalHotkeys::post(int id, bool pressed)
{
    QMetaObject::invokeMethod(
        this,
        [this, id, pressed] {
            if (onEvent) onEvent(id, pressed);
        },
        Qt::QueuedConnection);
}

}  // namespace platform

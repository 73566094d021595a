#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

namespace platform {

// System-wide shortcuts on X11: passive key grabs on the root window of Qt's own X
// connection, whose events are picked out of Qt's event stream by a native event filter.
//
// Each shortcut is grabbed once per combination of Caps Lock and Num Lock, so that it
// works whatever the lock keys show. Detectable auto-repeat is switched on, so a held key
// gives one press and one release; a press that arrives while the key is down is a repeat
// and dropped. The release is matched by key code alone: users let go of the modifiers
// first, and the release then carries none of them.
//
// A release can be lost: while the key is held, our grab of the keyboard may end (a
// synthetic chord ungrabs it, another program grabs the keyboard), and the release then
// goes to another program. So while a shortcut key is held, the key's state is checked
// with the server every few milliseconds; a key found up counts as released. Without that
// the key would stay "held" and its next press would be dropped as an auto-repeat.
//
// Events are handed to `onEvent` on a later turn of the event loop, never inside the
// filter, so the handler may grab and ungrab freely.
class GlobalHotkeys : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
public:
    enum class GrabResult {
        grabbed,
        inUse,        // another program (or another of our own shortcuts) holds the key
        unavailable,  // no X display, or a key that has no X key code
    };

    explicit GlobalHotkeys(QObject* parent = nullptr);
    ~GlobalHotkeys() override;

    // Grabs `x11KeyCode` with `modifiers` (platform::Modifier bits) under `id`, replacing
    // what `id` held before.
    GrabResult grab(int id, std::uint8_t x11KeyCode, unsigned modifiers);
    void ungrab(int id);
    bool isGrabbed(int id) const;

    // Whether the X server gives one press per held key (detectable auto-repeat).
    bool autoRepeatDetectable() const { return autoRepeatDetectable_; }

    std::function<void(int id, bool pressed)> onEvent;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Grab {
        std::uint8_t keyCode = 0;
        std::uint16_t mask = 0;
        // The lock-key combinations grabbed, kept so that ungrabbing matches them even
        // if the modifier map changed since.
        std::vector<std::uint16_t> lockCombinations;
        bool down = false;
    };

    void ungrabKey(const Grab& grab);
    void post(int id, bool pressed);
    // Reports the release of every held key that the server counts as up.
    void checkHeldKeys();

    QTimer heldKeyCheck_;
    std::map<int, Grab> grabs_;
    std::uint16_t lockMask_ = 0;
    std::uint16_t numLockMask_ = 0;
    bool filterInstalled_ = false;
    bool autoRepeatDetectable_ = false;
};

}  // namespace platform

#pragma once

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace platform {

// What the keys mean on the keyboard layout the X server uses right now (the active
// group of its XKB map). The map is read afresh on each call: layouts change under a
// running program (setxkbmap, the desktop's layout switcher) and key names are only
// asked for when a shortcut is shown.
class KeyboardLayout {
public:
    // X modifier masks of the named modifiers, from the server's modifier map.
    struct ModifierMasks {
        std::uint16_t shift = 0;
        std::uint16_t lock = 0;
        std::uint16_t control = 0;
        std::uint16_t alt = 0;
        std::uint16_t numLock = 0;
        std::uint16_t super = 0;
    };

    // The character the key types without modifiers, upper-cased and trimmed. Empty
    // for keys that type nothing printable (dead keys, Escape, function keys) and when
    // there is no X display.
    static std::optional<QString> character(std::uint8_t x11KeyCode);

    // A key code that types `keysym` without modifiers (or with Shift) in the active
    // group; empty when no key of the layout does.
    static std::optional<std::uint8_t> keyCode(std::uint32_t keysym);

    static std::optional<ModifierMasks> modifierMasks();

    // The key codes that the server's modifier map counts as modifier keys.
    static std::vector<std::uint8_t> modifierKeyCodes();
};

}  // namespace platform

#pragma once

#include <cstdint>
#include <optional>

namespace platform {

// Modifiers of a shortcut, independent of any encoding; the X masks they stand for are
// read from the server's modifier map when a key is grabbed.
enum Modifier : unsigned {
    ModifierControl = 1u << 0,
    ModifierAlt = 1u << 1,
    ModifierShift = 1u << 2,
    ModifierSuper = 1u << 3,
};

// Stored shortcuts keep the virtual key codes of an ANSI Apple keyboard. This table
// maps them to X key codes (evdev numbering, as Xorg, Xvfb and Xwayland use) by the
// key's physical position, and back. A key that has no virtual code of its own is
// stored as kPlainKeyCodeBase + its X key code, so that every key can be recorded.
class KeyCodes {
public:
    static constexpr std::uint32_t kPlainKeyCodeBase = 0x10000;

    static std::optional<std::uint8_t> x11KeyCode(std::uint32_t virtualKeyCode);
    static std::optional<std::uint32_t> virtualKeyCode(std::uint8_t x11KeyCode);
};

}  // namespace platform

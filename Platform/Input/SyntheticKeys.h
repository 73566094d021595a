#pragma once

#include <cstdint>

namespace platform {

// Keystrokes sent through the XTEST extension, as if typed on the keyboard.
class SyntheticKeys {
public:
    // Types Control plus the key that gives `keysym` on the current layout (or, when the
    // layout has no such key, the key with `fallbackKeyCode`), in this order:
    //   1. ends an active keyboard grab of ours (a hot key may still hold one);
    //   2. releases every modifier key the user still holds, since XTest events take on
    //      the modifiers that are physically down (Ctrl+Alt left over from the hot key
    //      would turn Ctrl+V into Ctrl+Alt+V, which pastes nothing);
    //   3. presses Control and the key, then releases both.
    // The user's modifiers are not pressed again afterwards. Returns false when there is
    // no X display or no XTEST.
    static bool controlChord(std::uint32_t keysym, std::uint8_t fallbackKeyCode);

    // The modifiers held down now (platform::Modifier bits, from the pointer query's
    // state); 0 without an X display.
    static unsigned heldModifiers();
};

}  // namespace platform

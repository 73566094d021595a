#pragma once

#include <cstdint>

namespace platform {

// The keyboard as a program may drive it: the Control chord that pastes or copies, and the
// modifiers the user holds right now. The desktop's sends XTEST keystrokes
// (`SyntheticKeys`); tests give a fake. Main thread only.
class SyntheticKeyboard {
public:
    virtual ~SyntheticKeyboard() = default;

    // Control plus the key that types `keysym` (else the key `fallbackKeyCode`); see
    // SyntheticKeys::controlChord. False when no keystroke could be sent.
    virtual bool controlChord(std::uint32_t keysym, std::uint8_t fallbackKeyCode) = 0;
    // The modifiers held down now, as platform::Modifier bits; 0 when unknown.
    virtual unsigned heldModifiers() = 0;

    // The desktop's (X11, XTEST).
    static SyntheticKeyboard& desktop();
};

}  // namespace platform

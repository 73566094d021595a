#pragma once

#include <cstdint>

namespace korvu {

// A shortcut as the settings store it: a virtual key code (49 Space, 13 W, 53 Escape) and a
// modifier mask (0x100 command, 0x200 shift, 0x800 option, 0x1000 control). The hot-key
// layer maps both to X11 key symbols and masks when it grabs the key.
struct HotkeyCodes {
    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;

    friend bool operator==(const HotkeyCodes&, const HotkeyCodes&) = default;
};

}  // namespace korvu

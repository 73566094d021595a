#pragma once

#include "Platform/Input/SyntheticKeyboard.h"

#include <functional>
#include <vector>

namespace fakes {

// Records the chords it is asked to type. `onChord` lets a test play the other program
// (for Ctrl+C: put the selection on the fake clipboard).
class FakeSyntheticKeyboard final : public platform::SyntheticKeyboard {
public:
    std::vector<std::uint32_t> chords;  // the key symbols, in order
    unsigned held = 0;                  // platform::Modifier bits the user holds
    bool available = true;
    std::function<void(std::uint32_t keysym)> onChord;

    bool controlChord(std::uint32_t keysym, std::uint8_t) override
    {
        if (!available) return false;
        chords.push_back(keysym);
        if (onChord) onChord(keysym);
        return true;
    }

    unsigned heldModifiers() override { return held; }
};

}  // namespace fakes

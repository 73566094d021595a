#include "Platform/Input/KeyCodes.h"

#include <utility>

namespace platform {

namespace {

// Virtual key code -> X key code (evdev code + 8), by physical position.
constexpr std::pair<std::uint16_t, std::uint8_t> kTable[] = {
    // letters
    {0, 38}, {1, 39}, {2, 40}, {3, 41}, {4, 43}, {5, 42}, {6, 52}, {7, 53}, {8, 54}, {9, 55},
    {11, 56}, {12, 24}, {13, 25}, {14, 26}, {15, 27}, {16, 29}, {17, 28}, {31, 32}, {32, 30},
    {34, 31}, {35, 33}, {37, 46}, {38, 44}, {40, 45}, {45, 57}, {46, 58},
    // digits
    {18, 10}, {19, 11}, {20, 12}, {21, 13}, {23, 14}, {22, 15}, {26, 16}, {28, 17}, {25, 18}, {29, 19},
    // punctuation
    {24, 21}, {27, 20}, {30, 35}, {33, 34}, {39, 48}, {41, 47}, {42, 51}, {43, 59}, {44, 61},
    {47, 60}, {50, 49}, {10, 94},
    // editing and navigation
    {36, 36}, {48, 23}, {49, 65}, {51, 22}, {53, 9}, {117, 119}, {115, 110}, {119, 115},
    {116, 112}, {121, 117}, {123, 113}, {124, 114}, {125, 116}, {126, 111}, {114, 118},
    // modifiers
    {55, 133}, {54, 134}, {56, 50}, {60, 62}, {57, 66}, {58, 64}, {61, 108}, {59, 37}, {62, 105},
    // function keys
    {122, 67}, {120, 68}, {99, 69}, {118, 70}, {96, 71}, {97, 72}, {98, 73}, {100, 74},
    {101, 75}, {109, 76}, {103, 95}, {111, 96}, {105, 191}, {107, 192}, {113, 193},
    {106, 194}, {64, 195}, {79, 196}, {80, 197}, {90, 198},
    // numeric keypad
    {65, 91}, {67, 63}, {69, 86}, {71, 77}, {75, 106}, {76, 104}, {78, 82}, {81, 125},
    {82, 90}, {83, 87}, {84, 88}, {85, 89}, {86, 83}, {87, 84}, {88, 85}, {89, 79},
    {91, 80}, {92, 81},
    // media
    {72, 123}, {73, 122}, {74, 121},
};

}  // namespace

std::optional<std::uint8_t> KeyCodes::x11KeyCode(std::uint32_t virtualKeyCode)
{
    if (virtualKeyCode >= kPlainKeyCodeBase) {
        const std::uint32_t code = virtualKeyCode - kPlainKeyCodeBase;
        if (code < 8 || code > 255) return std::nullopt;
        return static_cast<std::uint8_t>(code);
    }
    for (const auto& [virtualCode, x11Code] : kTable) {
        if (virtualCode == virtualKeyCode) return x11Code;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> KeyCodes::virtualKeyCode(std::uint8_t x11KeyCode)
{
    if (x11KeyCode < 8) return std::nullopt;
    for (const auto& [virtualCode, x11Code] : kTable) {
        if (x11Code == x11KeyCode) return virtualCode;
    }
    return kPlainKeyCodeBase + x11KeyCode;
}

}  // namespace platform

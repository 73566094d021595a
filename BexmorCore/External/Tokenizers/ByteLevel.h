#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bexmor {

// The byte-level alphabet: every byte stands for one printable character, so that any
// byte string is a string of visible characters. Bytes 33-126, 161-172 and 174-255 stand
// for the character of the same number; the other 68 bytes take U+0100 upwards, in byte
// order (so the space, byte 32, is U+0120 "Ġ").
class ByteLevel {
public:
    static char32_t character(std::uint8_t byte);
    // The byte a character stands for, none for a character outside the alphabet.
    static std::optional<std::uint8_t> byte(char32_t character);
    // The UTF-8 text of the character a byte stands for.
    static const std::string& text(std::uint8_t byte);

    // The byte-level text of some bytes: each byte's character, in UTF-8.
    static std::string encode(std::string_view bytes);
    // The bytes a byte-level text stands for; none when the text is not well-formed UTF-8
    // or holds a character outside the alphabet.
    static std::optional<std::string> decode(std::string_view text);

private:
    struct Tables;
    static const Tables& tables();
};

}  // namespace bexmor

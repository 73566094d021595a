#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bexmor::utf8 {

// The length of the well-formed UTF-8 sequence at the start of `bytes`, or 0 when it does
// not start with one (an empty view, a stray continuation byte, an overlong form, a
// surrogate, a value above U+10FFFF, or a sequence cut short).
std::size_t wellFormedLength(std::string_view bytes);

// The length of the maximal ill-formed subpart at the start of `bytes`, which must not
// start with a well-formed sequence: the longest prefix that could still begin a valid
// sequence, and at least one byte.
std::size_t illFormedLength(std::string_view bytes);

// The bytes as text: every maximal ill-formed subpart becomes one U+FFFD, as the Unicode
// standard recommends; well-formed sequences are kept as they are. Never throws.
std::string decodeLossy(std::string_view bytes);

// Appends the UTF-8 form of a code point (which must be a scalar value).
void append(std::string& out, char32_t codePoint);

}  // namespace bexmor::utf8

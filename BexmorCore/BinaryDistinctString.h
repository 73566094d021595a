#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bexmor {

class BinaryDistinctString;

// The UTF-16 code units of one character (usually one or two units, more for a
// combining sequence). Compares and hashes by its units.
class BinaryDistinctCharacter {
public:
    explicit BinaryDistinctCharacter(std::u16string bytes) : bytes_(std::move(bytes)) {}
    // The UTF-8 text's UTF-16 units.
    explicit BinaryDistinctCharacter(std::string_view text);
    explicit BinaryDistinctCharacter(const char* text) : BinaryDistinctCharacter(std::string_view(text)) {}

    const std::u16string& bytes() const { return bytes_; }
    std::string string() const;
    // BinaryDistinctCharacter('A', bytes: ["0x41"])
    std::string description() const;

    friend bool operator==(const BinaryDistinctCharacter&, const BinaryDistinctCharacter&) = default;

private:
    std::u16string bytes_;
};

// A string whose identity is its exact sequence of UTF-16 code units: two values are
// equal, hash alike and sort by their raw units, never by text rules, so a precomposed
// letter and the same letter followed by a combining mark stay two distinct keys. It is
// the key type of every configuration object.
//
// The text views (`string`, `count`, characters, positions, `lowercased`,
// `replacingOccurrences`) decode the units as UTF-16 text; positions count characters
// (extended grapheme clusters), not units. A lone surrogate is a character of its own,
// so no view ever drops a unit; it shows as U+FFFD in `string()`.
class BinaryDistinctString {
public:
    BinaryDistinctString() = default;
    // The units, unchanged (any sequence is allowed).
    BinaryDistinctString(std::u16string units) : value_(std::move(units)) {}  // NOLINT: a key literal
    BinaryDistinctString(const char16_t* units) : value_(units) {}              // NOLINT
    // The UTF-8 text's UTF-16 units; ill-formed UTF-8 becomes U+FFFD.
    BinaryDistinctString(std::string_view text);                                // NOLINT
    BinaryDistinctString(const std::string& text) : BinaryDistinctString(std::string_view(text)) {}  // NOLINT
    BinaryDistinctString(const char* text) : BinaryDistinctString(std::string_view(text)) {}          // NOLINT
    explicit BinaryDistinctString(const BinaryDistinctCharacter& character) : value_(character.bytes()) {}
    explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters);

    const std::u16string& value() const { return value_; }
    // The text as UTF-8.
    std::string string() const;
    std::string description() const { return string(); }

    // The number of characters (not units): an emoji of two units counts 1.
    std::size_t count() const;
    std::size_t startIndex() const { return 0; }
    std::size_t endIndex() const { return count(); }
    bool empty() const { return value_.empty(); }

    // i + n, when 0 <= i + n <= count; else std::out_of_range("Index out of bounds").
    std::size_t index(std::ptrdiff_t i, std::ptrdiff_t offsetBy) const;
    // Empty when the limit is smaller than i + n; otherwise i + n, which must also lie in
    // 0...count (else std::out_of_range("Index out of bounds")).
    std::optional<std::size_t> index(std::ptrdiff_t i, std::ptrdiff_t offsetBy, std::ptrdiff_t limitedBy) const;

    // The units of characters lower..<upper; std::out_of_range("Index out of bounds")
    // unless 0 <= lower <= upper <= count.
    BinaryDistinctString slice(std::ptrdiff_t lower, std::ptrdiff_t upper) const;
    // The units of the characters from lower to the end.
    BinaryDistinctString slice(std::ptrdiff_t lower) const;

    // One entry per character, in order, each holding that character's units.
    std::vector<BinaryDistinctCharacter> characters() const;

    bool hasPrefix(const BinaryDistinctString& prefix) const;
    bool hasSuffix(const BinaryDistinctString& suffix) const;

    // Full Unicode lower-case mapping of the text.
    BinaryDistinctString lowercased() const;
    // Every occurrence of `target` replaced by `replacement`. Characters match when they
    // are canonically equivalent (U+00E9 matches e + U+0301); units outside the matches
    // are copied unchanged. An empty target changes nothing.
    BinaryDistinctString replacingOccurrences(const BinaryDistinctString& target,
                                              const BinaryDistinctString& replacement) const;

    friend BinaryDistinctString operator+(const BinaryDistinctString& left, const BinaryDistinctString& right) {
        return BinaryDistinctString(left.value_ + right.value_);
    }
    friend bool operator==(const BinaryDistinctString&, const BinaryDistinctString&) = default;
    // Lexicographic order of the units as unsigned 16-bit numbers (code-unit order, not
    // code-point order).
    friend std::strong_ordering operator<=>(const BinaryDistinctString& left, const BinaryDistinctString& right) {
        return left.value_.compare(right.value_) <=> 0;
    }

private:
    std::u16string value_;
};

// Merges `other` into `map`: every key of `other` is inserted; for a key present in
// both, the stored value becomes strategy(current, incoming). Works for std::map and
// std::unordered_map keyed by BinaryDistinctString, with `other` keyed by the same type
// or by UTF-8 text (whose keys become their UTF-16 units).
template <class Map, class OtherMap, class Strategy>
void merge(Map& map, const OtherMap& other, Strategy&& strategy) {
    for (const auto& [key, incoming] : other) {
        BinaryDistinctString converted(key);
        auto found = map.find(converted);
        if (found == map.end()) {
            map.emplace(std::move(converted), incoming);
        } else {
            found->second = strategy(found->second, incoming);
        }
    }
}

// The merged copy; `map` stays unchanged.
template <class Map, class OtherMap, class Strategy>
Map merging(const Map& map, const OtherMap& other, Strategy&& strategy) {
    Map result = map;
    merge(result, other, std::forward<Strategy>(strategy));
    return result;
}

}  // namespace bexmor

// Hashes the unit count and then every unit, as equality compares them.
template <>
struct std::hash<bexmor::BinaryDistinctString> {
    std::size_t operator()(const bexmor::BinaryDistinctString& text) const noexcept;
};

template <>
struct std::hash<bexmor::BinaryDistinctCharacter> {
    std::size_t operator()(const bexmor::BinaryDistinctCharacter& character) const noexcept;
};

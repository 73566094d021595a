#include "BexmorCore/BinaryDistinctString.h"

#include <cstdio>
#include <stdexcept>

#include "BexmorCore/Unicode.h"

namespace bexmor {

namespace {

[[noreturn]] void outOfBounds() {
    throw std::out_of_range("Index out of bounds");
}

}  // namespace

BinaryDistinctCharacter::BinaryDistinctCharacter(std::string_view text) : bytes_(Unicode::utf16(text)) {}

std::string BinaryDistinctCharacter::string() const {
    return Unicode::utf8(bytes_);
}

std::string BinaryDistinctCharacter::description() const {
    std::string units = "[";
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        char item[16];
        std::snprintf(item, sizeof item, "\"0x%02X\"", static_cast<unsigned>(bytes_[i]));
        if (i > 0) units += ", ";
        units += item;
    }
    units += "]";
    return "BinaryDistinctCharacter('" + string() + "', bytes: " + units + ")";
}

BinaryDistinctString::BinaryDistinctString(std::string_view text) : value_(Unicode::utf16(text)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
    for (const auto& character : characters) value_ += character.bytes();
}

std::string BinaryDistinctString::string() const {
    return Unicode::utf8(value_);
}

std::size_t BinaryDistinctString::count() const {
    return Unicode::characterCount(value_);
}

std::size_t BinaryDistinctString::index(std::ptrdiff_t i, std::ptrdiff_t offsetBy) const {
    const std::ptrdiff_t result = i + offsetBy;
    if (result < 0 || result > static_cast<std::ptrdiff_t>(count())) outOfBounds();
    return static_cast<std::size_t>(result);
}

std::optional<std::size_t> BinaryDistinctString::index(std::ptrdiff_t i, std::ptrdiff_t offsetBy,
                                                        std::ptrdiff_t limitedBy) const {
    if (limitedBy < i + offsetBy) return std::nullopt;
    // The limit guards one side only; a position outside the text is still an error.
    return index(i, offsetBy);
}

BinaryDistinctString BinaryDistinctString::slice(std::ptrdiff_t lower, std::ptrdiff_t upper) const {
    const auto bounds = Unicode::characterBoundaries(value_);
    const auto characters = static_cast<std::ptrdiff_t>(bounds.size() - 1);
    if (lower < 0 || upper > characters || lower > upper) outOfBounds();
    const std::size_t begin = bounds[static_cast<std::size_t>(lower)];
    const std::size_t end = bounds[static_cast<std::size_t>(upper)];
    return BinaryDistinctString(value_.substr(begin, end - begin));
}

BinaryDistinctString BinaryDistinctString::slice(std::ptrdiff_t lower) const {
    return slice(lower, static_cast<std::ptrdiff_t>(count()));
}

std::vector<BinaryDistinctCharacter> BinaryDistinctString::characters() const {
    std::vector<BinaryDistinctCharacter> result;
    const auto ranges = Unicode::characterRanges(value_);
    result.reserve(ranges.size());
    for (const auto& [begin, end] : ranges) {
        result.push_back(BinaryDistinctCharacter(std::u16string(value_.data() + begin, end - begin)));
    }
    return result;
}

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const {
    return std::u16string_view(value_).starts_with(prefix.value_);
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const {
    return std::u16string_view(value_).ends_with(suffix.value_);
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
    return BinaryDistinctString(Unicode::lowercased(value_));
}

BinaryDistinctString BinaryDistinctString::replacingOccurrences(const BinaryDistinctString& target,
                                                                const BinaryDistinctString& replacement) const {
    if (target.value_.empty() || value_.empty()) return *this;

    // Whole characters match by their canonical decompositions; the string itself is
    // never normalised, so every unit outside a match is kept exactly.
    std::vector<std::u16string> wanted;
    for (const auto& [begin, end] : Unicode::characterRanges(target.value_)) {
        wanted.push_back(Unicode::decomposed(std::u16string_view(target.value_).substr(begin, end - begin)));
    }
    const auto ranges = Unicode::characterRanges(value_);
    std::vector<std::u16string> decomposed;
    decomposed.reserve(ranges.size());
    for (const auto& [begin, end] : ranges) {
        decomposed.push_back(Unicode::decomposed(std::u16string_view(value_).substr(begin, end - begin)));
    }

    std::u16string result;
    std::size_t i = 0;
    while (i < ranges.size()) {
        bool matches = i + wanted.size() <= ranges.size();
        for (std::size_t k = 0; matches && k < wanted.size(); ++k) matches = decomposed[i + k] == wanted[k];
        if (matches) {
            result += replacement.value_;
            i += wanted.size();
        } else {
            result.append(value_, ranges[i].first, ranges[i].second - ranges[i].first);
            ++i;
        }
    }
    return BinaryDistinctString(std::move(result));
}

}  // namespace bexmor

std::size_t std::hash<bexmor::BinaryDistinctString>::operator()(const bexmor::BinaryDistinctString& text) const noexcept {
    return std::hash<std::u16string_view>{}(text.value());
}

std::size_t std::hash<bexmor::BinaryDistinctCharacter>::operator()(
    const bexmor::BinaryDistinctCharacter& character) const noexcept {
    return std::hash<std::u16string_view>{}(character.bytes());
}

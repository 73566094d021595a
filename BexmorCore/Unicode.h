#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bexmor {

// The text services the core module needs, over ICU: UTF-8/UTF-16 conversion, extended
// grapheme clusters, full case mapping, canonical decomposition, general categories and
// sentence boundaries. Everything works on UTF-16 code units as they are; ill-formed
// input is never rejected:
// - ill-formed UTF-8 decodes to U+FFFD per maximal ill-formed subsequence;
// - a lone surrogate encodes to UTF-8 as U+FFFD, and forms a character of its own.
class Unicode {
public:
    static std::u16string utf16(std::string_view utf8);
    static std::string utf8(std::u16string_view utf16);

    // Unit offsets where characters (extended grapheme clusters) begin, followed by the
    // length; so {0} for the empty text and {0, 2} for one emoji of two units.
    static std::vector<std::size_t> characterBoundaries(std::u16string_view text);
    // The characters' unit ranges (begin, end) in order.
    static std::vector<std::pair<std::size_t, std::size_t>> characterRanges(std::u16string_view text);
    static std::size_t characterCount(std::u16string_view text);

    // The sentences' unit ranges (begin, end) in order, by the language-neutral rules of
    // UAX #29. Trailing blanks and line breaks belong to the sentence they follow.
    static std::vector<std::pair<std::size_t, std::size_t>> sentenceRanges(std::u16string_view text);

    // The full (possibly multi-scalar) lower-case mapping, language-neutral.
    static std::u16string lowercased(std::u16string_view text);
    static std::u16string lowercased(char32_t scalar);
    // Canonical decomposition (NFD).
    static std::u16string decomposed(std::u16string_view text);

    // A letter of general category Lu or Lt.
    static bool isUppercaseOrTitlecaseLetter(char32_t scalar);
    // The White_Space property.
    static bool isWhitespace(char32_t scalar);

    // The scalar that starts at `offset` (a lone surrogate yields itself), and the offset
    // after it.
    static char32_t scalarAt(std::u16string_view text, std::size_t offset, std::size_t* next = nullptr);
};

}  // namespace bexmor

#include "BexmorCore/Unicode.h"

#include <memory>
#include <stdexcept>

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>

namespace bexmor {

namespace {

const UChar* uchars(std::u16string_view text) {
    return reinterpret_cast<const UChar*>(text.data());
}

// Creating a break iterator loads rules; each thread keeps one of each kind.
enum class BreakKind { character, sentence };

icu::BreakIterator& breakIterator(BreakKind kind) {
    thread_local std::unique_ptr<icu::BreakIterator> character;
    thread_local std::unique_ptr<icu::BreakIterator> sentence;
    auto& slot = kind == BreakKind::character ? character : sentence;
    if (!slot) {
        UErrorCode status = U_ZERO_ERROR;
        slot.reset(kind == BreakKind::character ? icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status)
                                                : icu::BreakIterator::createSentenceInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !slot) {
            slot.reset();
            throw std::runtime_error(std::string("ICU break iterator unavailable: ") + u_errorName(status));
        }
    }
    return *slot;
}

std::vector<std::size_t> boundaries(BreakKind kind, std::u16string_view text) {
    std::vector<std::size_t> result{0};
    if (text.empty()) return result;
    UErrorCode status = U_ZERO_ERROR;
    UText* utext = utext_openUChars(nullptr, uchars(text), static_cast<int64_t>(text.size()), &status);
    if (U_FAILURE(status)) throw std::runtime_error(std::string("ICU text unavailable: ") + u_errorName(status));
    icu::BreakIterator& iterator = breakIterator(kind);
    iterator.setText(utext, status);
    for (int32_t position = iterator.next(); position != icu::BreakIterator::DONE; position = iterator.next()) {
        result.push_back(static_cast<std::size_t>(position));
    }
    // Detach the iterator from the caller's buffer before the text goes away.
    iterator.setText(icu::UnicodeString());
    utext_close(utext);
    if (result.back() != text.size()) result.push_back(text.size());
    return result;
}

std::vector<std::pair<std::size_t, std::size_t>> ranges(const std::vector<std::size_t>& bounds) {
    std::vector<std::pair<std::size_t, std::size_t>> result;
    result.reserve(bounds.size());
    for (std::size_t i = 1; i < bounds.size(); ++i) result.emplace_back(bounds[i - 1], bounds[i]);
    return result;
}

bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::u16string Unicode::utf16(std::string_view utf8) {
    std::u16string result;
    if (isAscii(utf8)) {
        result.assign(utf8.begin(), utf8.end());
        return result;
    }
    // Every input byte yields at most one unit, substitutions included.
    result.resize(utf8.size());
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(reinterpret_cast<UChar*>(result.data()), static_cast<int32_t>(result.size()), &length,
                         utf8.data(), static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) {
        throw std::runtime_error(std::string("UTF-8 decoding failed: ") + u_errorName(status));
    }
    result.resize(static_cast<std::size_t>(length));
    return result;
}

std::string Unicode::utf8(std::u16string_view utf16) {
    std::string result;
    result.resize(utf16.size() * 3);
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strToUTF8WithSub(result.data(), static_cast<int32_t>(result.size()), &length, uchars(utf16),
                       static_cast<int32_t>(utf16.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) {
        throw std::runtime_error(std::string("UTF-16 encoding failed: ") + u_errorName(status));
    }
    result.resize(static_cast<std::size_t>(length));
    return result;
}

std::vector<std::size_t> Unicode::characterBoundaries(std::u16string_view text) {
    return boundaries(BreakKind::character, text);
}

std::vector<std::pair<std::size_t, std::size_t>> Unicode::characterRanges(std::u16string_view text) {
    return ranges(characterBoundaries(text));
}

std::size_t Unicode::characterCount(std::u16string_view text) {
    return characterBoundaries(text).size() - 1;
}

std::vector<std::pair<std::size_t, std::size_t>> Unicode::sentenceRanges(std::u16string_view text) {
    return ranges(boundaries(BreakKind::sentence, text));
}

std::u16string Unicode::lowercased(std::u16string_view text) {
    if (text.empty()) return {};
    std::u16string result(text.size() + 8, u'\0');
    for (int attempt = 0; attempt < 2; ++attempt) {
        UErrorCode status = U_ZERO_ERROR;
        const int32_t length = u_strToLower(reinterpret_cast<UChar*>(result.data()), static_cast<int32_t>(result.size()),
                                            uchars(text), static_cast<int32_t>(text.size()), "", &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            result.resize(static_cast<std::size_t>(length));
            continue;
        }
        if (U_FAILURE(status)) throw std::runtime_error(std::string("lower-case mapping failed: ") + u_errorName(status));
        result.resize(static_cast<std::size_t>(length));
        return result;
    }
    throw std::runtime_error("lower-case mapping failed");
}

std::u16string Unicode::lowercased(char32_t scalar) {
    std::u16string units;
    if (scalar > 0xFFFF) {
        units += static_cast<char16_t>(U16_LEAD(scalar));
        units += static_cast<char16_t>(U16_TRAIL(scalar));
    } else {
        units += static_cast<char16_t>(scalar);
    }
    return lowercased(units);
}

std::u16string Unicode::decomposed(std::u16string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) throw std::runtime_error(std::string("NFD unavailable: ") + u_errorName(status));
    const icu::UnicodeString source(false, uchars(text), static_cast<int32_t>(text.size()));
    const icu::UnicodeString result = nfd->normalize(source, status);
    if (U_FAILURE(status)) throw std::runtime_error(std::string("NFD failed: ") + u_errorName(status));
    return std::u16string(reinterpret_cast<const char16_t*>(result.getBuffer()), static_cast<std::size_t>(result.length()));
}

bool Unicode::isUppercaseOrTitlecaseLetter(char32_t scalar) {
    const int8_t type = u_charType(static_cast<UChar32>(scalar));
    return type == U_UPPERCASE_LETTER || type == U_TITLECASE_LETTER;
}

bool Unicode::isWhitespace(char32_t scalar) {
    return u_isUWhiteSpace(static_cast<UChar32>(scalar));
}

char32_t Unicode::scalarAt(std::u16string_view text, std::size_t offset, std::size_t* next) {
    const char16_t unit = text[offset];
    std::size_t after = offset + 1;
    char32_t scalar = unit;
    if (U16_IS_LEAD(unit) && after < text.size() && U16_IS_TRAIL(text[after])) {
        scalar = static_cast<char32_t>(U16_GET_SUPPLEMENTARY(unit, text[after]));
        ++after;
    }
    if (next) *next = after;
    return scalar;
}

}  // namespace bexmor

#include "BexmorCore/External/Tokenizers/ByteLevelPreTokenizer.h"

#include <unicode/regex.h>
#include <unicode/utext.h>

#include "BexmorCore/External/Tokenizers/TokenizerError.h"
#include "BexmorCore/External/Tokenizers/Utf8.h"

namespace bexmor {

ByteLevelPreTokenizer::ByteLevelPreTokenizer(bool addPrefixSpace, bool useRegex)
    : addPrefixSpace_(addPrefixSpace) {
    if (!useRegex) return;
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    const icu::UnicodeString pattern = icu::UnicodeString::fromUTF8(
        icu::StringPiece(standardPattern.data(), static_cast<int32_t>(standardPattern.size())));
    pattern_.reset(icu::RegexPattern::compile(pattern, 0, parseError, status));
    if (U_FAILURE(status) || !pattern_) {
        pattern_.reset();
        throw TokenizerError(std::string("the pre-tokenizer's pattern does not compile: ") + u_errorName(status));
    }
}

ByteLevelPreTokenizer::~ByteLevelPreTokenizer() = default;
ByteLevelPreTokenizer::ByteLevelPreTokenizer(ByteLevelPreTokenizer&&) noexcept = default;
ByteLevelPreTokenizer& ByteLevelPreTokenizer::operator=(ByteLevelPreTokenizer&&) noexcept = default;

std::vector<std::string> ByteLevelPreTokenizer::split(std::string_view text) const {
    std::vector<std::string> out;
    split(text, [&](std::string_view piece) { out.emplace_back(piece); });
    return out;
}

void ByteLevelPreTokenizer::splitInto(std::string_view text, std::vector<std::string_view>& pieces) const {
    // Well-formed runs go through the expression; each ill-formed subpart stands alone.
    std::size_t runStart = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::string_view rest = text.substr(position);
        if (const std::size_t length = utf8::wellFormedLength(rest)) {
            position += length;
            continue;
        }
        if (position > runStart) splitValid(text.substr(runStart, position - runStart), pieces);
        const std::size_t bad = utf8::illFormedLength(rest);
        pieces.push_back(text.substr(position, bad));
        position += bad;
        runStart = position;
    }
    if (position > runStart) splitValid(text.substr(runStart, position - runStart), pieces);
}

void ByteLevelPreTokenizer::splitValid(std::string_view text, std::vector<std::string_view>& pieces) const {
    if (!pattern_) {
        pieces.push_back(text);
        return;
    }
    UErrorCode status = U_ZERO_ERROR;
    // The matcher reads the UTF-8 bytes in place; its native indices are byte offsets.
    UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(status));
    if (U_FAILURE(status) || !matcher) {
        utext_close(utext);
        throw TokenizerError(std::string("the pre-tokenizer cannot run: ") + u_errorName(status));
    }
    matcher->reset(utext);
    // A long run of one class (a megabyte of spaces) must not hit ICU's default
    // backtracking limit; the pattern's backtracking is bounded by the run itself.
    matcher->setStackLimit(0, status);
    std::size_t covered = 0;
    while (matcher->find(status) && U_SUCCESS(status)) {
        const auto start = static_cast<std::size_t>(matcher->start64(status));
        const auto end = static_cast<std::size_t>(matcher->end64(status));
        if (U_FAILURE(status) || end <= start) break;
        // The alternatives cover every character, so there is no gap; should one appear,
        // keep it as a piece rather than lose text.
        if (start > covered) pieces.push_back(text.substr(covered, start - covered));
        pieces.push_back(text.substr(start, end - start));
        covered = end;
    }
    const UErrorCode failure = status;
    utext_close(utext);
    if (U_FAILURE(failure)) {
        throw TokenizerError(std::string("the pre-tokenizer failed: ") + u_errorName(failure));
    }
    if (covered < text.size()) pieces.push_back(text.substr(covered));
}

}  // namespace bexmor

#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

namespace bexmor {

// Splits text into the pieces that byte-pair merging works on, as the byte-level
// pre-tokenizer does: with the regular expression, contractions, runs of letters, runs of
// numbers and runs of other characters (each with at most one leading space), and runs
// of white space; without it, the text is one piece. Pieces are the text's own bytes and
// together make up the whole text.
//
// Bytes that are not well-formed UTF-8 never reach the expression: each maximal
// ill-formed subpart is a piece of its own, so encoding stays exact for any byte string.
//
// The compiled pattern is immutable, so one object may split on several threads at once.
class ByteLevelPreTokenizer {
public:
    // The standard pattern, written with the White_Space property so that "\s" means the
    // same to ICU as it does to the tokenizer files' authors.
    static constexpr std::string_view standardPattern =
        "'s|'t|'re|'ve|'m|'ll|'d| ?\\p{L}+| ?\\p{N}+| ?[^\\p{White_Space}\\p{L}\\p{N}]+"
        "|\\p{White_Space}+(?![^\\p{White_Space}])|\\p{White_Space}+";

    ByteLevelPreTokenizer(bool addPrefixSpace, bool useRegex);
    ~ByteLevelPreTokenizer();
    ByteLevelPreTokenizer(ByteLevelPreTokenizer&&) noexcept;
    ByteLevelPreTokenizer& operator=(ByteLevelPreTokenizer&&) noexcept;

    bool addPrefixSpace() const { return addPrefixSpace_; }
    bool useRegex() const { return pattern_ != nullptr; }

    // Calls `piece` with each piece in order. With addPrefixSpace, a text that does not
    // start with a space is split as if it did.
    template <class Callback>
    void split(std::string_view text, Callback&& piece) const {
        std::vector<std::string_view> pieces;
        std::string prefixed;
        if (addPrefixSpace_ && !text.empty() && text.front() != ' ') {
            prefixed.reserve(text.size() + 1);
            prefixed.push_back(' ');
            prefixed.append(text);
            text = prefixed;
        }
        splitInto(text, pieces);
        for (const auto p : pieces) piece(p);
    }

    std::vector<std::string> split(std::string_view text) const;

private:
    void splitInto(std::string_view text, std::vector<std::string_view>& pieces) const;
    void splitValid(std::string_view text, std::vector<std::string_view>& pieces) const;

    bool addPrefixSpace_;
    std::unique_ptr<icu::RegexPattern> pattern_;
};

}  // namespace bexmor

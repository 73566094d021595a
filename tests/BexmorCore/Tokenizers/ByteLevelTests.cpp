#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "BexmorCore/External/Tokenizers/ByteLevel.h"
#include "BexmorCore/External/Tokenizers/ByteLevelPreTokenizer.h"
#include "BexmorCore/External/Tokenizers/Utf8.h"

using bexmor::ByteLevel;
using Pieces = std::vector<std::string>;

namespace {

TEST(ByteLevel, MapsEveryByteToADistinctPrintableCharacterAndBack) {
    std::set<char32_t> seen;
    std::string all;
    for (int b = 0; b < 256; ++b) {
        const char32_t c = ByteLevel::character(static_cast<std::uint8_t>(b));
        EXPECT_TRUE(seen.insert(c).second) << b;
        EXPECT_EQ(ByteLevel::byte(c), std::uint8_t(b));
        all.push_back(static_cast<char>(b));
    }
    EXPECT_EQ(ByteLevel::decode(ByteLevel::encode(all)), all);
    // Printable bytes stand for themselves, the others count on from U+0100, as in every file.
    EXPECT_EQ(ByteLevel::encode(" hä"), "ĠhÃ¤");
    EXPECT_EQ(ByteLevel::encode(std::string("\0\n\x7F\xAD", 4)), "ĀĊġŃ");
    EXPECT_EQ(ByteLevel::byte(U' '), std::nullopt);
    for (const char* outside : {"a b", "\xC3", "東"}) EXPECT_EQ(ByteLevel::decode(outside), std::nullopt) << outside;
}

TEST(ByteLevel, ReplacesEachMaximalIllFormedSubpartOnce) {
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"Grüße 東京 😀", "Grüße 東京 😀"},
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", "a" + r + r + r + "b" + r + "c" + r + r + "d"},
        {"\xC0\xAF", r + r},                   // overlong
        {"\xE0\x80\xAF", r + r + r},           // overlong three-byte
        {"\xF4\x90\x80\x80", r + r + r + r},   // above U+10FFFF
        {"\xF5\xFF", r + r},
        {"x\xE2\x82", "x" + r},                // cut short at the end
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(bexmor::utf8::decodeLossy(bytes), text) << text;
}

TEST(ByteLevel, PreTokenizerSplitsLikeTheStandardPattern) {
    const std::pair<const char*, Pieces> cases[] = {
        {"Hello world", {"Hello", " world"}},
        {"it's we'll I'd they're", {"it", "'s", " we", "'ll", " I", "'d", " they", "'re"}},
        // Contractions are case-sensitive and need the ASCII apostrophe.
        {"IT'S it’s", {"IT", "'", "S", " it", "’", "s"}},
        {"abc123 4,5", {"abc", "123", " 4", ",", "5"}},
        {"Hallo!!! ...ja", {"Hallo", "!!!", " ...", "ja"}},
        // White space before a word: all but the last character stand alone.
        {"a   b", {"a", "  ", " b"}}, {"\n\n  x", {"\n\n ", " x"}}, {"end  ", {"end", "  "}}, {"a\tb", {"a", "\t", "b"}},
        // Only U+0020 joins the next piece; other spaces stand alone.
        {"a\u00A0b", {"a", "\u00A0", "b"}}, {"a\u3000b", {"a", "\u3000", "b"}},
        // Unicode letters and numbers, fractions and Arabic digits included.
        {"Grüße, Straße", {"Grüße", ",", " Straße"}}, {"東京は日本", {"東京は日本"}}, {"½ ٣٤", {"½", " ٣٤"}},
        {"x😀😃 y", {"x", "😀😃", " y"}},
        // U+000B and U+0085 are white space, so the blank before them stands alone; a soft hyphen is not.
        {"x \u0085y", {"x", " ", "\u0085", "y"}}, {"x \vy", {"x", " ", "\v", "y"}}, {"x \u00ADy", {"x", " \u00AD", "y"}},
        // Ill-formed bytes are pieces of their own.
        {"ab\xFF" "cd", {"ab", "\xFF", "cd"}}, {" x\xE2\x82", {" x", "\xE2\x82"}},
        {"", {}},
    };
    for (const auto& [text, pieces] : cases) EXPECT_EQ(bexmor::ByteLevelPreTokenizer(false, true).split(text), pieces) << text;
}

}  // namespace

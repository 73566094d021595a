#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "BexmorCore/External/Tokenizers/ByteLevel.h"
#include "BexmorCore/External/Tokenizers/ByteLevelPreTokenizer.h"
#include "BexmorCore/External/Tokenizers/Utf8.h"

using bexmor::ByteLevel;
using bexmor::ByteLevelPreTokenizer;
using Pieces = std::vector<std::string>;

namespace {

TEST(ByteLevelAlphabet, MapsEveryByteToADistinctPrintableCharacterAndBack) {
    std::set<char32_t> seen;
    for (int b = 0; b < 256; ++b) {
        const char32_t c = ByteLevel::character(static_cast<std::uint8_t>(b));
        EXPECT_TRUE(seen.insert(c).second) << b;
        EXPECT_EQ(ByteLevel::byte(c), std::uint8_t(b));
    }
    EXPECT_EQ(ByteLevel::character('A'), U'A');
    EXPECT_EQ(ByteLevel::character(0xE9), U'é');
    EXPECT_EQ(ByteLevel::character(0), U'\u0100');
    EXPECT_EQ(ByteLevel::character(' '), U'\u0120');  // "Ġ"
    EXPECT_EQ(ByteLevel::character('\n'), U'\u010A');  // "Ċ"
    EXPECT_EQ(ByteLevel::character(127), U'\u0121');
    EXPECT_EQ(ByteLevel::character(173), U'\u0143');  // the last of the 68
    EXPECT_EQ(ByteLevel::byte(U'\u0144'), std::nullopt);
    EXPECT_EQ(ByteLevel::byte(U' '), std::nullopt);
    EXPECT_EQ(ByteLevel::text(' '), "Ġ");
}

TEST(ByteLevelAlphabet, EncodesAndDecodesByteStrings) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    EXPECT_EQ(ByteLevel::decode(ByteLevel::encode(all)), all);
    EXPECT_EQ(ByteLevel::encode(" hä"), "ĠhÃ¤");
    EXPECT_EQ(ByteLevel::decode("ĠhÃ¤"), " hä");
    EXPECT_EQ(ByteLevel::decode("a b"), std::nullopt);    // a space is not in the alphabet
    EXPECT_EQ(ByteLevel::decode("\xC3"), std::nullopt);   // not UTF-8
    EXPECT_EQ(ByteLevel::decode("東"), std::nullopt);
}

TEST(Utf8, ReplacesEachMaximalIllFormedSubpartOnce) {
    using bexmor::utf8::decodeLossy;
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(decodeLossy("Grüße 東京 😀"), "Grüße 東京 😀");
    EXPECT_EQ(decodeLossy(""), "");
    // The examples of the Unicode standard's U+FFFD practice.
    EXPECT_EQ(decodeLossy("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
              "a" + r + r + r + "b" + r + "c" + r + r + "d");
    EXPECT_EQ(decodeLossy("\xC0\xAF"), r + r);           // overlong
    EXPECT_EQ(decodeLossy("\xE0\x80\xAF"), r + r + r);   // overlong three-byte
    EXPECT_EQ(decodeLossy("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(decodeLossy("\xF5\xFF"), r + r);
    EXPECT_EQ(decodeLossy("x\xE2\x82"), "x" + r);        // cut short at the end
}

Pieces split(const std::string& text, bool prefix = false) {
    return ByteLevelPreTokenizer(prefix, true).split(text);
}

TEST(PreTokenizer, SplitsLikeTheStandardPattern) {
    EXPECT_EQ(split("Hello world"), (Pieces{"Hello", " world"}));
    EXPECT_EQ(split("it's we'll I'd they're"), (Pieces{"it", "'s", " we", "'ll", " I", "'d", " they", "'re"}));
    // Contractions are case-sensitive and need the ASCII apostrophe.
    EXPECT_EQ(split("IT'S it’s"), (Pieces{"IT", "'", "S", " it", "’", "s"}));
    EXPECT_EQ(split("abc123 4,5"), (Pieces{"abc", "123", " 4", ",", "5"}));
    EXPECT_EQ(split("Hallo!!! ...ja"), (Pieces{"Hallo", "!!!", " ...", "ja"}));
    // White space before a word: all but the last character stand alone.
    EXPECT_EQ(split("a   b"), (Pieces{"a", "  ", " b"}));
    EXPECT_EQ(split("\n\n  x"), (Pieces{"\n\n ", " x"}));
    EXPECT_EQ(split("end  "), (Pieces{"end", "  "}));
    EXPECT_EQ(split("a\tb"), (Pieces{"a", "\t", "b"}));
    // Only U+0020 joins the next piece; other spaces stand alone.
    EXPECT_EQ(split("a\u00A0b"), (Pieces{"a", "\u00A0", "b"}));
    EXPECT_EQ(split("a\u3000b"), (Pieces{"a", "\u3000", "b"}));
    EXPECT_EQ(split(""), Pieces{});
}

TEST(PreTokenizer, UsesUnicodeLettersNumbersAndWhiteSpace) {
    EXPECT_EQ(split("Grüße, Straße"), (Pieces{"Grüße", ",", " Straße"}));
    EXPECT_EQ(split("東京は日本"), (Pieces{"東京は日本"}));
    EXPECT_EQ(split("½ ٣٤"), (Pieces{"½", " ٣٤"}));  // \p{N} covers fractions and Arabic digits
    EXPECT_EQ(split("x😀😃 y"), (Pieces{"x", "😀😃", " y"}));
    // U+000B and U+0085 are white space for the tokenizer: otherwise the space before
    // them would join them as "other" characters.
    EXPECT_EQ(split("x \u0085y"), (Pieces{"x", " ", "\u0085", "y"}));
    EXPECT_EQ(split("x \vy"), (Pieces{"x", " ", "\v", "y"}));
    EXPECT_EQ(split("x \u00ADy"), (Pieces{"x", " \u00AD", "y"}));  // a soft hyphen is not
}

TEST(PreTokenizer, KeepsIllFormedBytesAsPiecesOfTheirOwn) {
    EXPECT_EQ(split("ab\xFF" "cd"), (Pieces{"ab", "\xFF", "cd"}));
    EXPECT_EQ(split(" x\xE2\x82"), (Pieces{" x", "\xE2\x82"}));
}


}  // namespace

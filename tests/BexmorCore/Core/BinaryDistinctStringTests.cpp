#include <map>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <gtest/gtest.h>

#include "BexmorCore/BinaryDistinctString.h"

using bexmor::BinaryDistinctCharacter;
using bexmor::BinaryDistinctString;

namespace {

const std::u16string precomposed = u"\u00E9";   // é as one unit
const std::u16string decomposed = u"e\u0301";   // e + combining acute
const std::u16string grinning = u"\U0001F600";  // two units

}  // namespace

TEST(BinaryDistinctStringTest, IdentityIsByUnitsNotByText) {
    const BinaryDistinctString a(precomposed);
    const BinaryDistinctString b(decomposed);
    EXPECT_NE(a, b);
    EXPECT_NE(std::hash<BinaryDistinctString>{}(a), std::hash<BinaryDistinctString>{}(b));
    std::unordered_map<BinaryDistinctString, int> keys{{a, 1}, {b, 2}};
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_EQ(a.string(), "\xC3\xA9");
    EXPECT_EQ(a.count(), 1u);
    EXPECT_EQ(b.count(), 1u);
    EXPECT_EQ(BinaryDistinctString("\xC3\xA9"), a);
}

TEST(BinaryDistinctStringTest, OrdersByUnsignedCodeUnits) {
    EXPECT_LT(BinaryDistinctString("ab"), BinaryDistinctString("abc"));
    EXPECT_LT(BinaryDistinctString("abc"), BinaryDistinctString("b"));
    EXPECT_LT(BinaryDistinctString("Z"), BinaryDistinctString("a"));
    EXPECT_LT(BinaryDistinctString(u"\u00E9"), BinaryDistinctString(u"\uFF21"));
    // Code-unit order: a surrogate (from an emoji) sorts before U+FF21, although the
    // emoji's code point is larger.
    EXPECT_LT(BinaryDistinctString(grinning), BinaryDistinctString(u"\uFF21"));
    const BinaryDistinctString empty;
    EXPECT_LT(empty, BinaryDistinctString("\x01"));
    EXPECT_EQ(empty, BinaryDistinctString(""));
    EXPECT_NE(empty, BinaryDistinctString(" "));
}

TEST(BinaryDistinctStringTest, PrefixAndSuffix) {
    const BinaryDistinctString text("tokenizer.json");
    EXPECT_TRUE(text.hasPrefix(""));
    EXPECT_TRUE(text.hasSuffix(""));
    EXPECT_TRUE(text.hasPrefix("token"));
    EXPECT_TRUE(text.hasSuffix(".json"));
    EXPECT_FALSE(BinaryDistinctString("ab").hasPrefix("abc"));
    EXPECT_FALSE(BinaryDistinctString("bc").hasSuffix("abc"));
    EXPECT_EQ((BinaryDistinctString("ab") + BinaryDistinctString(u"\u0301")).value(), u"ab\u0301");
}

TEST(BinaryDistinctStringTest, CountsCharactersAndSlicesByThem) {
    const BinaryDistinctString emoji(grinning);
    EXPECT_EQ(emoji.count(), 1u);
    EXPECT_EQ(emoji.endIndex(), 1u);
    EXPECT_EQ(emoji.slice(0, 1).value(), grinning);

    const BinaryDistinctString mixed(u"a\u00E9" + grinning + u"b");
    EXPECT_EQ(mixed.count(), 4u);
    EXPECT_EQ(mixed.slice(1, 3).value(), u"\u00E9" + grinning);
    EXPECT_EQ(mixed.slice(2).value(), grinning + u"b");
    EXPECT_EQ(mixed.slice(2, 2).value(), u"");
    EXPECT_EQ(BinaryDistinctString(decomposed + u"x").slice(0, 1).value(), decomposed);
}

TEST(BinaryDistinctStringTest, BadPositionsAreErrors) {
    const BinaryDistinctString abc("abc");
    EXPECT_EQ(abc.index(2, 1), 3u);
    EXPECT_THROW(abc.index(2, 2), std::out_of_range);
    EXPECT_THROW(abc.index(0, -1), std::out_of_range);
    try {
        abc.slice(0, 4);
        FAIL();
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "Index out of bounds");
    }
    EXPECT_THROW(abc.slice(-1, 1), std::out_of_range);
    // A reversed range would be a negative length.
    EXPECT_THROW(abc.slice(2, 1), std::out_of_range);
    EXPECT_THROW(abc.slice(4), std::out_of_range);

    EXPECT_EQ(abc.index(0, 2, 3), 2u);
    EXPECT_EQ(abc.index(0, 2, 1), std::nullopt);
    // The limit only guards one side; leaving the text is still an error.
    EXPECT_THROW(abc.index(0, 5, 10), std::out_of_range);
    EXPECT_THROW(abc.index(0, -1, 10), std::out_of_range);
}

TEST(BinaryDistinctStringTest, LoneSurrogatesKeepEveryUnit) {
    const std::u16string units = {u'a', char16_t(0xD83D), u'b', char16_t(0xDE00)};
    const BinaryDistinctString broken(units);
    EXPECT_EQ(broken.count(), 4u);
    EXPECT_EQ(broken.string(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    std::u16string joined;
    for (const auto& character : broken.characters()) joined += character.bytes();
    EXPECT_EQ(joined, units);
    EXPECT_EQ(broken.slice(1, 2).value(), std::u16string(1, char16_t(0xD83D)));
    // Ill-formed UTF-8 input becomes U+FFFD.
    EXPECT_EQ(BinaryDistinctString("a\xFF" "b").value(), u"a\uFFFDb");
}

TEST(BinaryDistinctStringTest, IteratesCharacters) {
    const auto characters = BinaryDistinctString(u"a" + decomposed + grinning).characters();
    ASSERT_EQ(characters.size(), 3u);
    EXPECT_EQ(characters[1].bytes(), decomposed);
    EXPECT_EQ(characters[2].bytes(), grinning);
    EXPECT_EQ(BinaryDistinctString(characters), BinaryDistinctString(u"a" + decomposed + grinning));
    EXPECT_EQ(BinaryDistinctCharacter("A").description(), "BinaryDistinctCharacter('A', bytes: [\"0x41\"])");
    EXPECT_EQ(BinaryDistinctCharacter(grinning).description(),
              "BinaryDistinctCharacter('\xF0\x9F\x98\x80', bytes: [\"0xD83D\", \"0xDE00\"])");
    EXPECT_EQ(BinaryDistinctString(BinaryDistinctCharacter("x")), BinaryDistinctString("x"));
}

TEST(BinaryDistinctStringTest, LowercasesWithTheFullMapping) {
    EXPECT_EQ(BinaryDistinctString("ABC \xC3\x89").lowercased(), BinaryDistinctString("abc \xC3\xA9"));
    // U+0130 lower-cases to i + combining dot above: two units from one.
    EXPECT_EQ(BinaryDistinctString(u"\u0130").lowercased().value(), u"i\u0307");
}

TEST(BinaryDistinctStringTest, ReplacesCanonicallyEquivalentCharacters) {
    const BinaryDistinctString text(u"caf" + precomposed + u" caf" + decomposed);
    EXPECT_EQ(text.replacingOccurrences(BinaryDistinctString(precomposed), "E").value(), u"cafE cafE");
    EXPECT_EQ(text.replacingOccurrences(BinaryDistinctString(decomposed), "E").value(), u"cafE cafE");
    // A plain "e" is not a match for the accented character.
    EXPECT_EQ(text.replacingOccurrences("e", "X"), text);
    EXPECT_EQ(BinaryDistinctString("aaa").replacingOccurrences("aa", "b"), BinaryDistinctString("ba"));
    // An empty target changes nothing (and must not loop).
    EXPECT_EQ(text.replacingOccurrences("", "x"), text);
    // Unmatched text keeps its exact units, decomposed or not.
    EXPECT_EQ(BinaryDistinctString(decomposed + u"z").replacingOccurrences("z", "y").value(), decomposed + u"y");
}

TEST(BinaryDistinctStringTest, MergesMapsByStrategy) {
    std::map<BinaryDistinctString, int> current{{"k", 1}, {"a", 5}};
    const std::map<BinaryDistinctString, int> incoming{{"k", 2}, {"n", 3}};
    const auto keep = bexmor::merging(current, incoming, [](int mine, int) { return mine; });
    EXPECT_EQ(keep.at("k"), 1);
    EXPECT_EQ(keep.at("n"), 3);
    EXPECT_EQ(current.size(), 2u);  // merging leaves the receiver alone

    bexmor::merge(current, incoming, [](int, int theirs) { return theirs; });
    EXPECT_EQ(current.at("k"), 2);
    EXPECT_EQ(current.size(), 3u);

    std::unordered_map<BinaryDistinctString, int> byUnits{{BinaryDistinctString(precomposed), 1}};
    const std::map<std::string, int> byText{{"e\xCC\x81", 7}, {"\xC3\xA9", 9}};
    bexmor::merge(byUnits, byText, [](int a, int b) { return a + b; });
    EXPECT_EQ(byUnits.size(), 2u);
    EXPECT_EQ(byUnits.at(BinaryDistinctString(precomposed)), 10);
    EXPECT_EQ(byUnits.at(BinaryDistinctString(decomposed)), 7);
}

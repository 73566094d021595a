#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <gtest/gtest.h>

#include "BexmorCore/BinaryDistinctString.h"

using bexmor::BinaryDistinctString;

namespace {

const std::u16string precomposed = u"\u00E9";   // é as one unit
const std::u16string decomposed = u"e\u0301";   // e + combining acute
const std::u16string grinning = u"\U0001F600";  // two units

}  // namespace

// Vocabulary keys that render alike must stay apart: a tokenizer that folded them would
// give the wrong ids.
TEST(BinaryDistinctStringTest, IdentityAndOrderAreByCodeUnits) {
    const BinaryDistinctString a(precomposed), b(decomposed);
    EXPECT_NE(a, b);
    EXPECT_EQ((std::unordered_map<BinaryDistinctString, int>{{a, 1}, {b, 2}}.size()), 2u);
    EXPECT_EQ(BinaryDistinctString("\xC3\xA9"), a);
    EXPECT_EQ(a.string(), "\xC3\xA9");
    EXPECT_LT(BinaryDistinctString("ab"), BinaryDistinctString("abc"));
    EXPECT_LT(BinaryDistinctString("abc"), BinaryDistinctString("b"));
    // Unsigned units: a surrogate sorts before U+FF21 although the emoji's code point is larger.
    EXPECT_LT(BinaryDistinctString(grinning), BinaryDistinctString(u"\uFF21"));
    EXPECT_TRUE(BinaryDistinctString("tokenizer.json").hasSuffix(".json"));
    EXPECT_FALSE(BinaryDistinctString("ab").hasPrefix("abc"));
}

TEST(BinaryDistinctStringTest, CountsAndSlicesByCharacters) {
    const BinaryDistinctString mixed(u"a\u00E9" + grinning + u"b");
    EXPECT_EQ(mixed.count(), 4u);
    EXPECT_EQ(BinaryDistinctString(decomposed).count(), 1u);
    EXPECT_EQ(mixed.slice(1, 3).value(), u"\u00E9" + grinning);
    EXPECT_EQ(mixed.slice(2).value(), grinning + u"b");
    EXPECT_EQ(mixed.slice(2, 2).value(), u"");
    EXPECT_EQ(BinaryDistinctString(decomposed + u"x").slice(0, 1).value(), decomposed);
    const auto characters = BinaryDistinctString(u"a" + decomposed + grinning).characters();
    ASSERT_EQ(characters.size(), 3u);
    EXPECT_EQ(characters[1].bytes(), decomposed);
    EXPECT_EQ(BinaryDistinctString(characters), BinaryDistinctString(u"a" + decomposed + grinning));
}

TEST(BinaryDistinctStringTest, BadPositionsAreErrorsNotCrashes) {
    const BinaryDistinctString abc("abc");
    EXPECT_EQ(abc.index(2, 1), 3u);
    EXPECT_EQ(abc.index(0, 2, 3), 2u);
    EXPECT_EQ(abc.index(0, 2, 1), std::nullopt);
    EXPECT_THROW(abc.index(2, 2), std::out_of_range);
    EXPECT_THROW(abc.index(0, -1), std::out_of_range);
    // The limit guards one side only; leaving the text is still an error.
    EXPECT_THROW(abc.index(0, 5, 10), std::out_of_range);
    EXPECT_THROW(abc.slice(0, 4), std::out_of_range);
    EXPECT_THROW(abc.slice(-1, 1), std::out_of_range);
    EXPECT_THROW(abc.slice(2, 1), std::out_of_range);  // a negative length
    EXPECT_THROW(abc.slice(4), std::out_of_range);
}

TEST(BinaryDistinctStringTest, IllFormedTextKeepsEveryUnit) {
    const std::u16string units = {u'a', char16_t(0xD83D), u'b', char16_t(0xDE00)};
    const BinaryDistinctString broken(units);
    EXPECT_EQ(broken.count(), 4u);
    EXPECT_EQ(broken.string(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    std::u16string joined;
    for (const auto& character : broken.characters()) joined += character.bytes();
    EXPECT_EQ(joined, units);
    EXPECT_EQ(BinaryDistinctString("a\xFF" "b").value(), u"a\uFFFDb");
}

TEST(BinaryDistinctStringTest, LowercasesAndReplaces) {
    // U+0130 lower-cases to i + combining dot above: two units from one.
    EXPECT_EQ(BinaryDistinctString(u"\u0130").lowercased().value(), u"i\u0307");
    const BinaryDistinctString text(u"caf" + precomposed + u" caf" + decomposed);
    EXPECT_EQ(text.replacingOccurrences(BinaryDistinctString(decomposed), "E").value(), u"cafE cafE");
    EXPECT_EQ(text.replacingOccurrences("e", "X"), text);
    EXPECT_EQ(BinaryDistinctString("aaa").replacingOccurrences("aa", "b"), BinaryDistinctString("ba"));
    EXPECT_EQ(text.replacingOccurrences("", "x"), text);  // must not loop
    EXPECT_EQ(BinaryDistinctString(decomposed + u"z").replacingOccurrences("z", "y").value(), decomposed + u"y");
}

TEST(BinaryDistinctStringTest, MergesMapsByStrategy) {
    std::map<BinaryDistinctString, int> current{{"k", 1}, {"a", 5}};
    const std::map<BinaryDistinctString, int> incoming{{"k", 2}, {"n", 3}};
    const auto kept = bexmor::merging(current, incoming, [](int mine, int) { return mine; });
    EXPECT_EQ(kept, (std::map<BinaryDistinctString, int>{{"a", 5}, {"k", 1}, {"n", 3}}));
    EXPECT_EQ(current.size(), 2u);  // merging leaves the receiver alone
    std::unordered_map<BinaryDistinctString, int> byUnits{{BinaryDistinctString(precomposed), 1}};
    bexmor::merge(byUnits, std::map<std::string, int>{{"e\xCC\x81", 7}, {"\xC3\xA9", 9}}, std::plus<int>());
    EXPECT_EQ(byUnits.at(BinaryDistinctString(precomposed)), 10);
    EXPECT_EQ(byUnits.at(BinaryDistinctString(decomposed)), 7);
}

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "Vocarion/Core/Text/LogitsFilter.h"
#include "Vocarion/Core/Text/TokenSampler.h"

using namespace vocarion;

namespace {
constexpr float kInf = std::numeric_limits<float>::infinity();
}


TEST(GreedyTokenSampler, AboveZeroDrawsOnlyFromTheTopKAndIsReproducible) {
    std::vector<float> logits(50, 0.0f);
    for (int i = 0; i < 50; ++i) logits[i] = static_cast<float>(i) * 0.01f;  // 49..45 are the top five
    GreedyTokenSampler first(5, 7), second(5, 7);
    std::set<int> seen;
    for (int i = 0; i < 400; ++i) {
        const auto a = first.sample(logits, 1.0f);
        const auto b = second.sample(logits, 1.0f);
        EXPECT_EQ(a.token, b.token);
        EXPECT_GE(a.token, 45);
        seen.insert(a.token);
    }
    EXPECT_EQ(seen.size(), 5u);  // nearly equal weights: every one of the five comes up
}

TEST(GreedyTokenSampler, NeverDrawsASuppressedToken) {
    GreedyTokenSampler sampler(5, 1);
    const std::vector<float> logits = {-kInf, 1.0f, -kInf, -kInf};
    for (int i = 0; i < 50; ++i) EXPECT_EQ(sampler.sample(logits, 1.0f).token, 1);
}

TEST(LogitsFilters, SpecialTokensAreSuppressedExceptEndOfText) {
    // Vocabulary: 0..9 text, 10 end of text, 11..14 other specials, 15..19 timestamps.
    std::vector<float> logits(20, 1.0f);
    SpecialTokensFilter(10, 10, 15, false).filterLogits(logits, {});
    for (int i = 0; i < 10; ++i) EXPECT_EQ(logits[i], 1.0f);
    EXPECT_EQ(logits[10], 1.0f);
    for (int i = 11; i < 20; ++i) EXPECT_EQ(logits[i], -kInf) << i;

    std::vector<float> withTimes(20, 1.0f);
    SpecialTokensFilter(10, 10, 15, true).filterLogits(withTimes, {});
    for (int i = 11; i < 15; ++i) EXPECT_EQ(withTimes[i], -kInf);
    for (int i = 15; i < 20; ++i) EXPECT_EQ(withTimes[i], 1.0f);
}

TEST(LogitsFilters, SuppressTokensAndBlankAtTheFirstStepOnly) {
    std::vector<float> logits(12, 1.0f);
    SuppressTokensFilter({3, 5, 99, -1}).filterLogits(logits, {});
    EXPECT_EQ(logits[3], -kInf);
    EXPECT_EQ(logits[5], -kInf);
    EXPECT_EQ(logits[4], 1.0f);

    const SuppressBlankFilter blank({2}, 10, 3);
    std::vector<float> first(12, 1.0f);
    blank.filterLogits(first, {7, 8, 9});  // three initial tokens: the first sampled step
    EXPECT_EQ(first[2], -kInf);
    EXPECT_EQ(first[10], -kInf);
    std::vector<float> later(12, 1.0f);
    blank.filterLogits(later, {7, 8, 9, 4});
    EXPECT_EQ(later[2], 1.0f);
    EXPECT_EQ(later[10], 1.0f);
}

TEST(LogitsFilters, TimestampRulesKeepPairsAndOrder) {
    // 0..9 text, 10 end, 15..19 timestamps; two initial tokens.
    const TimestampRulesFilter rules(10, 15, 2, 1);
    std::vector<float> logits(20, 1.0f);
    rules.filterLogits(logits, {11, 12});
    for (int i = 0; i < 15; ++i) EXPECT_EQ(logits[i], -kInf);  // first: a timestamp
    EXPECT_EQ(logits[15], 1.0f);
    EXPECT_EQ(logits[16], 1.0f);
    EXPECT_EQ(logits[17], -kInf);  // beyond the maximum initial timestamp

    std::vector<float> afterOpen(20, 1.0f);
    rules.filterLogits(afterOpen, {11, 12, 16, 3});
    EXPECT_EQ(afterOpen[15], -kInf);  // no going back before 16
    EXPECT_EQ(afterOpen[16], -kInf);  // and no zero-length segment
    EXPECT_EQ(afterOpen[17], 1.0f);
    EXPECT_EQ(afterOpen[4], 1.0f);

    std::vector<float> closing(20, 1.0f);
    rules.filterLogits(closing, {11, 12, 16, 3, 17});  // lone closing timestamp: another or the end
    EXPECT_EQ(closing[4], -kInf);
    EXPECT_EQ(closing[10], 1.0f);
    EXPECT_EQ(closing[17], 1.0f);
    EXPECT_EQ(closing[16], -kInf);

    std::vector<float> afterPair(20, 1.0f);
    rules.filterLogits(afterPair, {11, 12, 16, 3, 17, 17});  // pair closed: text next
    for (int i = 15; i < 20; ++i) EXPECT_EQ(afterPair[i], -kInf);
    EXPECT_EQ(afterPair[4], 1.0f);
}

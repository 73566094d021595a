// The steps of decoding one window: the logits filters, the sampler, the fallback rule
// and the turn of the sampled tokens into segments and the next window's start.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

#include "EngineFixture.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/DecodingFallback.h"
#include "Vocarion/Core/Text/LogitsFilter.h"
#include "Vocarion/Core/Text/SegmentSeeker.h"
#include "Vocarion/Core/Text/TokenSampler.h"

using namespace vocarion;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// Which of `size` equal logits the filter leaves ('x') and which it suppresses ('-').
std::string pattern(const LogitsFiltering& filter, size_t size, const std::vector<int>& tokens) {
    std::vector<float> logits(size, 1.0f);
    filter.filterLogits(logits, tokens);
    std::string out;
    for (float v : logits) out += v == -kInf ? '-' : 'x';
    return out;
}

}  // namespace

TEST(LogitsFilters, SuppressWhatMayNotComeNext) {
    // Vocabulary: 0..9 text, 10 end of text, 11..14 other specials, 15..19 timestamps.
    const TimestampRulesFilter rules(10, 15, 2, 1);  // two initial tokens, initial timestamps up to 16
    const SuppressBlankFilter blank({2}, 10, 3);
    const struct {
        const LogitsFiltering& filter;
        std::vector<int> tokens;
        std::string allowed;
    } cases[] = {
        {SpecialTokensFilter(10, 10, 15, false), {}, "xxxxxxxxxxx---------"},
        {SpecialTokensFilter(10, 10, 15, true), {}, "xxxxxxxxxxx----xxxxx"},
        {SuppressTokensFilter({3, 5, 99, -1}), {}, "xxx-x-xxxxxxxxxxxxxx"},
        {blank, {7, 8, 9}, "xx-xxxxxxx-xxxxxxxxx"},  // the first sampled step only
        {blank, {7, 8, 9, 4}, "xxxxxxxxxxxxxxxxxxxx"},
        {rules, {11, 12}, "---------------xx---"},                  // first a timestamp, not a late one
        {rules, {11, 12, 16}, "xxxxxxxxxxxxxxx-----"},              // one timestamp sampled: text next
        {rules, {11, 12, 16, 17}, "xxxxxxxxxxxxxxx-----"},          // two: a pair closed, text next
        {rules, {11, 12, 16, 3}, "xxxxxxxxxxxxxxx--xxx"},           // no going back, no zero-length segment
        {rules, {11, 12, 16, 3, 17}, "----------xxxxx--xxx"},       // a lone closing timestamp: another or the end
        {rules, {11, 12, 16, 3, 17, 17}, "xxxxxxxxxxxxxxx-----"},  // a pair closed: text next
    };
    for (const auto& c : cases) EXPECT_EQ(pattern(c.filter, 20, c.tokens), c.allowed) << ::testing::PrintToString(c.tokens);
}

TEST(GreedyTokenSampler, DrawsReproduciblyFromTheTopKAndNeverASuppressedToken) {
    std::vector<float> logits(50);
    for (int i = 0; i < 50; ++i) logits[i] = static_cast<float>(i) * 0.01f;  // 49..45 are the top five
    GreedyTokenSampler first(5, 7), second(5, 7);
    std::set<int> seen;
    for (int i = 0; i < 400; ++i) {
        const auto a = first.sample(logits, 1.0f);
        EXPECT_EQ(a.token, second.sample(logits, 1.0f).token);
        seen.insert(a.token);
    }
    EXPECT_EQ(seen, (std::set<int>{45, 46, 47, 48, 49}));  // nearly equal weights: every one comes up
    GreedyTokenSampler sampler(5, 1);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(sampler.sample(std::vector<float>{-kInf, 1.0f, -kInf, -kInf}, 1.0f).token, 1);
}

TEST(DecodingFallback, EachThresholdAloneTriggersARetryAndExactlyAtOneIsGood) {
    const DecodingThresholds app{2.4f, -1.0f, -1.5f, 0.6f};
    const std::pair<DecodingQuality, std::optional<std::string>> cases[] = {
        {{2.41f, -0.3f, -0.2f, 0.01f}, "compressionRatio"},
        {{1.2f, -1.01f, -0.2f, 0.01f}, "logProb"},
        {{1.2f, -0.3f, -1.6f, 0.01f}, "firstTokenLogProb"},
        {{2.4f, -1.0f, -1.5f, 0.01f}, std::nullopt},
        {{1.2f, -1.01f, -0.2f, 0.61f}, std::nullopt},  // silence: a retry would only invent text
    };
    for (const auto& [quality, reason] : cases) EXPECT_EQ(DecodingFallback::fallbackReason(quality, app), reason);
    EXPECT_FALSE(DecodingFallback::fallbackReason({100.0f, -50.0f, -50.0f, 0.0f}, DecodingThresholds{}));
}

TEST(SegmentSeeker, TimestampsCutSegmentsAndTheSeekMovesPastTheLastCompleteOne) {
    const auto tokenizer = DarivirTokenizer::fromFile(enginetest::variant() / "tokenizer.json");
    const auto time = [&](float seconds) {
        return tokenizer.specialTokens().timeTokenBegin + static_cast<int>(seconds / Constants::secondsPerTimeToken + 0.5f);
    };
    const auto seek = [&](std::vector<int> tokens, bool withoutTimestamps, int firstId, WindowSpan window) {
        DecodingResult r;
        r.tokens = std::move(tokens);
        r.tokenLogProbs.assign(r.tokens.size(), -0.1f);
        r.temperature = 0.2f;
        return SegmentSeeker().findSeekPointAndSegments(r, DecodingOptions({.skipSpecialTokens = true, .withoutTimestamps = withoutTimestamps}),
                                                        firstId, window, tokenizer);
    };
    // Without timestamps the second window of audio 40 s long is one segment, and the
    // seek moves a whole window.
    const auto [wholeSeek, whole] = seek(tokenizer.encode(" Hallo Welt"), true, 3, {480000, 480000, 640000});
    ASSERT_EQ(std::make_pair(wholeSeek, whole.size()), std::make_pair(size_t(960000), size_t(1)));
    EXPECT_EQ(std::make_tuple(whole[0].id, whole[0].text, whole[0].start, whole[0].end, whole[0].seek, whole[0].temperature),
              std::make_tuple(3, std::string(" Hallo Welt"), 30.0f, 40.0f, 3000, 0.2f));

    std::vector<int> tokens{time(0.0f)};
    for (int t : tokenizer.encode(" eins")) tokens.push_back(t);
    tokens.insert(tokens.end(), {time(2.0f), time(2.0f)});
    for (int t : tokenizer.encode(" zwei")) tokens.push_back(t);  // the text runs on past the window's end
    const WindowSpan window{16000, 480000, 1000000};
    const auto [openSeek, open] = seek(tokens, false, 0, window);
    ASSERT_EQ(std::make_pair(openSeek, open.size()), std::make_pair(size_t(16000 + 2 * 16000), size_t(1)));
    EXPECT_EQ(std::make_tuple(open[0].text, open[0].start, open[0].end), std::make_tuple(std::string(" eins"), 1.0f, 3.0f));
    // Ending on a single timestamp: every segment is complete and the whole window is consumed.
    tokens.push_back(time(4.5f));
    const auto [closedSeek, closed] = seek(tokens, false, 0, window);
    ASSERT_EQ(std::make_pair(closedSeek, closed.size()), std::make_pair(size_t(16000 + 480000), size_t(2)));
    EXPECT_EQ(std::make_tuple(closed[1].id, closed[1].text, closed[1].start, closed[1].end), std::make_tuple(1, std::string(" zwei"), 3.0f, 5.5f));
    // A text opened by "<|0.00|>" and never closed runs to the end of the audio.
    std::vector<int> opened{time(0.0f)};
    for (int t : tokenizer.encode(" eins")) opened.push_back(t);
    const auto [openedSeek, openedSegments] = seek(opened, false, 0, {0, 480000, 100000});
    ASSERT_EQ(std::make_pair(openedSeek, openedSegments.size()), std::make_pair(size_t(480000), size_t(1)));
    EXPECT_EQ(std::make_tuple(openedSegments[0].start, openedSegments[0].end), std::make_tuple(0.0f, 100000.0f / 16000.0f));
    // A window without text or timestamps still moves on.
    const auto [emptySeek, empty] = seek({}, false, 0, {0, 480000, 100000});
    ASSERT_EQ(std::make_pair(emptySeek, empty.size()), std::make_pair(size_t(480000), size_t(1)));
    EXPECT_EQ(std::make_pair(empty[0].text, empty[0].end), std::make_pair(std::string(), 100000.0f / 16000.0f));
}

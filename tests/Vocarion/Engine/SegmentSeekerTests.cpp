#include <gtest/gtest.h>

#include "EngineFixture.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/Text/SegmentSeeker.h"

using namespace vocarion;

namespace {

struct Seeking : ::testing::Test {
    Seeking() : tokenizer(DarivirTokenizer::fromFile(enginetest::sharedTinyVariant() / "tokenizer.json")) {}
    int time(float seconds) const {
        return tokenizer.specialTokens().timeTokenBegin + static_cast<int>(seconds / Constants::secondsPerTimeToken + 0.5f);
    }
    DecodingResult result(std::vector<int> tokens) const {
        DecodingResult r;
        r.tokens = std::move(tokens);
        r.tokenLogProbs.assign(r.tokens.size(), -0.1f);
        r.temperature = 0.2f;
        return r;
    }
    DecodingOptions options(bool withoutTimestamps) const {
        DecodingOptions o;
        o.withoutTimestamps = withoutTimestamps;
        o.skipSpecialTokens = true;
        return o;
    }
    DarivirTokenizer tokenizer;
    SegmentSeeker seeker;
};

}  // namespace

TEST_F(Seeking, WithoutTimestampsAWindowIsOneSegmentAndTheSeekMovesAWholeWindow) {
    const auto hello = tokenizer.encode(" Hallo Welt");
    // The second window of audio 40 s long: it starts at 30 s and the audio ends at 40 s.
    const WindowSpan window{480000, 480000, 640000};
    const auto [seek, segments] = seeker.findSeekPointAndSegments(result(hello), options(true), 3, window, tokenizer);
    EXPECT_EQ(seek, 960000u);
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].id, 3);
    EXPECT_EQ(segments[0].text, " Hallo Welt");
    EXPECT_FLOAT_EQ(segments[0].start, 30.0f);
    EXPECT_FLOAT_EQ(segments[0].end, 40.0f);
    EXPECT_EQ(segments[0].seek, 3000);
    EXPECT_FLOAT_EQ(segments[0].temperature, 0.2f);
}

TEST_F(Seeking, TimestampPairsCutSegmentsAndAnOpenEndSeeksBack) {
    const auto a = tokenizer.encode(" eins");
    const auto b = tokenizer.encode(" zwei");
    std::vector<int> tokens{time(0.0f)};
    tokens.insert(tokens.end(), a.begin(), a.end());
    tokens.push_back(time(2.0f));
    tokens.push_back(time(2.0f));
    tokens.insert(tokens.end(), b.begin(), b.end());  // the text runs on past the window's end
    const WindowSpan window{16000, 480000, 1000000};
    const auto [seek, segments] = seeker.findSeekPointAndSegments(result(tokens), options(false), 0, window, tokenizer);
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].text, " eins");
    EXPECT_FLOAT_EQ(segments[0].start, 1.0f);
    EXPECT_FLOAT_EQ(segments[0].end, 3.0f);
    EXPECT_EQ(seek, 16000u + 2 * 16000u);  // the next window starts after the last complete segment

    // Ending on a single timestamp: every segment is complete and the whole window is consumed.
    tokens.push_back(time(4.5f));
    const auto [wholeSeek, all] = seeker.findSeekPointAndSegments(result(tokens), options(false), 0, window, tokenizer);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1].text, " zwei");
    EXPECT_FLOAT_EQ(all[1].start, 3.0f);
    EXPECT_FLOAT_EQ(all[1].end, 5.5f);
    EXPECT_EQ(all[1].id, 1);
    EXPECT_EQ(wholeSeek, 16000u + 480000u);
}

TEST_F(Seeking, AWindowWithoutTextOrTimestampsStillMovesOn) {
    const WindowSpan window{0, 480000, 100000};
    const auto [seek, segments] = seeker.findSeekPointAndSegments(result({}), options(false), 0, window, tokenizer);
    EXPECT_EQ(seek, 480000u);
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].text, "");
    EXPECT_FLOAT_EQ(segments[0].end, 100000.0f / 16000.0f);
}

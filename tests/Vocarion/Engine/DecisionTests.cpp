// The engine's decoding decisions, seen through models whose greedy decoding spells a
// chosen text (the model tool's scripted mode): the text, the detected language, when the
// fallback stops, the no-speech rule, top-k, the prompt, the positional table's end, the
// order of chunks and stopping.
#include <gtest/gtest.h>

#include <mutex>
#include <numeric>

#include "EngineFixture.h"
#include "Vocarion/Core/Audio/AudioChunker.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/Text/LogitsFilter.h"
#include "Vocarion/Utilities/DarivirError.h"

using namespace vocarion;
using namespace enginetest;

namespace {

// Confident, but "no speech" looks likely, and the text repeats itself for ever.
const std::string kLoopingWithNoSpeech = "--text ' Hallo Welt' --language de --no-speech 0.9 --loop";

// Remembers the tokens of the window at the first sampling step: the initial tokens.
struct InitialTokens : LogitsFiltering {
    void filterLogits(std::span<float>, const std::vector<int>& tokens) const override {
        std::call_once(once, [&] { seen = tokens; });
    }
    mutable std::once_flag once;
    mutable std::vector<int> seen;
};

}  // namespace

TEST(EngineDecisions, TextLanguageFallbackAndSilenceFollowTheModelsLikelihoods) {
    struct Case {
        std::string model;
        std::optional<std::string> language;
        std::string textStart, expectedLanguage;  // an empty text: silence, no segment
        int loops;
        float temperature;  // of the try kept
    };
    const Case cases[] = {
        // The likeliest language is detected; a given one is kept. The greedy try is good.
        {kSpeech, std::nullopt, kText, "de", 1, 0.0f},
        {kSpeech, "fr", kText, "fr", 1, 0.0f},
        {kSpeech, "german", kText, "de", 1, 0.0f},
        // Not silence, though "no speech" is likely: the text is likely. Every try
        // repeats itself, so all six are made.
        {kLoopingWithNoSpeech, "de", " Hallo Welt Hallo Welt", "de", 6, 1.0f},
        // An unlikely text alone is no silence: it is decoded again.
        {"--text ' Hallo Welt' --language de --confidence 4", "de", " Hallo", "de", 6, 1.0f},
        // "No speech" likely and the text unlikely: silence, and no retry invents text for it.
        {"--text ' Hallo Welt' --language de --no-speech 0.9 --confidence 4", "de", "", "de", 1, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.model + " " + c.language.value_or("(detect)"));
        const auto results = makeEngine(variant(c.model))->transcribe(speech(), appOptions(c.language));
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].text.rfind(c.textStart, 0), 0u) << results[0].text;
        EXPECT_EQ(results[0].language, c.expectedLanguage);
        EXPECT_EQ(results[0].timings.totalDecodingLoops, c.loops);
        ASSERT_EQ(results[0].segments.size(), c.textStart.empty() ? 0u : 1u);
        for (const auto& segment : results[0].segments) EXPECT_EQ(segment.temperature, c.temperature);
        if (c.loops == 1) { EXPECT_EQ(results[0].text, c.textStart); }
    }
}

TEST(EngineDecisions, SamplingDrawsOnlyFromTheTopK) {
    auto engine = makeEngine(variant(kSpeech));
    auto options = appOptions("de", 0);
    options.sampleLength = 24;
    options.temperature = 100.0f;  // so hot that every one of the top k is a likely draw
    options.topK = 1;
    EXPECT_EQ(engine->transcribe(speech(), options)[0].text, kText);
    options.topK = 2;
    EXPECT_NE(engine->transcribe(speech(), options)[0].text, kText);
}

TEST(EngineDecisions, ThePromptLeadsTheWindowAndTheTextStopsWhereThePositionsEnd) {
    auto recorder = std::make_shared<InitialTokens>();
    auto engine = makeEngine(variant(kLoopingWithNoSpeech),
                             VocarionConfig{.logitsFilters = std::vector<std::shared_ptr<LogitsFiltering>>{recorder}});
    const auto& special = engine->tokenizer()->specialTokens();
    auto options = appOptions("de", 0);
    options.sampleLength = 1000;  // more than the 448 positions hold
    std::vector<int> prompt;
    for (int i = 0; i < 150; ++i) prompt.push_back(i + 1);  // longer than the 111 a window carries
    options.promptTokens = prompt;
    const auto results = engine->transcribe(speech(), options);

    std::vector<int> expected{special.startOfPreviousToken};
    expected.insert(expected.end(), prompt.end() - 111, prompt.end());
    expected.insert(expected.end(), {special.startOfTranscriptToken, *engine->tokenizer()->languageToken("de"),
                                     special.transcribeToken, special.noTimestampsToken});
    EXPECT_EQ(recorder->seen, expected);
    // Every position holds a token; the last token sampled is never fed.
    ASSERT_EQ(results[0].segments.size(), 1u);
    EXPECT_EQ(results[0].segments[0].tokens.size(), Constants::maxTextPositions - expected.size() + 1);
}

TEST(EngineDecisions, EnglishOnlyModelsTakeNoLanguageOrTaskToken) {
    auto recorder = std::make_shared<InitialTokens>();
    auto engine = makeEngine(variant("--text ' Good morning, dear friends.' --english-only"),
                             VocarionConfig{.logitsFilters = std::vector<std::shared_ptr<LogitsFiltering>>{recorder}});
    const auto& special = engine->tokenizer()->specialTokens();
    const auto results = engine->transcribe(speech(), appOptions("de"));
    EXPECT_EQ(recorder->seen, (std::vector<int>{special.startOfTranscriptToken, special.noTimestampsToken}));
    EXPECT_EQ(results[0].text, " Good morning, dear friends.");
    EXPECT_EQ(results[0].language, "en");
}

TEST(EngineDecisions, LongAudioGivesOneResultPerChunkInOrderAndOneStopStopsThemAll) {
    auto engine = makeEngine(variant(kSpeech));
    const auto audio = speechWithPauses(70.0);
    const auto chunks = engine->audioChunker()->chunkAll(audio, Constants::windowSamples);
    ASSERT_GE(chunks.size(), 3u);
    auto options = appOptions("de");
    options.concurrentWorkerCount = 2;  // two batches at least
    const auto results = engine->transcribe(audio, options);
    ASSERT_EQ(results.size(), chunks.size());
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_EQ(std::make_tuple(results[i].text, size_t(results[i].seekTime.value_or(-1)), results[i].segments.size()),
                  std::make_tuple(kText, chunks[i].start, size_t(1)));
        EXPECT_FLOAT_EQ(results[i].segments.at(0).start, static_cast<float>(chunks[i].start) / Constants::sampleRate);
    }

    options.concurrentWorkerCount = 1;  // one chunk per batch
    int calls = 0;
    const auto stopped = engine->transcribe(audio, options, [&](const TranscriptionProgress&) { return ++calls, std::optional<bool>(false); });
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].text, kText);
}

TEST(EngineDecisions, WindowsFollowTheClipsAndOptionsTheEngineCannotApplyAreRefused) {
    auto engine = makeEngine(variant(kSpeech));
    auto options = appOptions("de");
    options.chunkingStrategy = ChunkingStrategy::none;
    const std::vector<float> audio(static_cast<size_t>(65.5 * Constants::sampleRate), 0.01f);
    struct Case {
        std::vector<float> clips;
        float windowClipTime;
        std::vector<float> starts;
    };
    for (const auto& c : {Case{{}, 1.0f, {0, 30, 60}},          // a rest of 5.5 s is decoded
                          Case{{0, 60.5f}, 1.0f, {0, 30}},      // a rest of 0.5 s is not
                          Case{{0, 60.5f}, 0.0f, {0, 30, 60}},
                          Case{{2, 5, 40}, 1.0f, {2, 40}}}) {  // the last clip runs to the end
        options.clipTimestamps = c.clips;
        options.windowClipTime = c.windowClipTime;
        std::vector<int> windows;
        size_t segmentsSeen = 0;
        const auto results = engine->transcribe(
            audio, options, [&](const TranscriptionProgress& p) { windows.push_back(p.windowId); return std::optional<bool>(); },
            [&](const std::vector<TranscriptionSegment>& segments) { segmentsSeen += segments.size(); });
        std::vector<float> starts;
        for (const auto& segment : results[0].segments) starts.push_back(segment.start);
        EXPECT_EQ(starts, c.starts) << ::testing::PrintToString(c.clips);
        std::vector<int> ids(c.starts.size());
        std::iota(ids.begin(), ids.end(), 0);
        EXPECT_EQ(windows, ids);
        EXPECT_EQ(segmentsSeen, c.starts.size());
        if (c.clips.empty()) { EXPECT_FLOAT_EQ(results[0].segments.back().end, 65.5f); }
        if (c.clips.size() == 3) { EXPECT_FLOAT_EQ(results[0].segments[0].end, 5.0f); }
    }
    // A stop after the first window ends the transcription there.
    options.clipTimestamps = {};
    const auto stopped = engine->transcribe(audio, options, [](const TranscriptionProgress&) { return std::optional<bool>(false); });
    EXPECT_EQ(stopped[0].segments.size(), 1u);

    auto refused = [&](auto change, const std::string& words) {
        auto bad = appOptions("de");
        change(bad);
        const auto message = messageOf<DarivirError>([&] { engine->transcribe(speech(), bad); });
        EXPECT_NE(message.find(words), std::string::npos) << message;
    };
    refused([](DecodingOptions& o) { o.wordTimestamps = true; }, "word timestamps");
    refused([](DecodingOptions& o) { o.maxWindowSeek = 100; }, "maxWindowSeek");
    refused([](DecodingOptions& o) { o.clipTimestamps = {5, 2}; }, "clipTimestamps");
    refused([](DecodingOptions& o) { o.language = "xx"; }, "\"xx\"");  // an unknown language
}

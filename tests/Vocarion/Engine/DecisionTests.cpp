// The engine's decoding decisions, seen through models whose greedy decoding spells a
// chosen text (the model tool's scripted mode): the text, the detected language, when the
// fallback stops, the no-speech rule, top-k, the prompt, the positional table's end, the
// order of chunks and stopping, the text of every window, what each step may sample and
// how the sampled tokens are scored, and where the next window starts.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <numeric>

#include "EngineFixture.h"
#include "Vocarion/Core/Audio/AudioChunker.h"
#include "Vocarion/Core/Audio/AudioProcessor.h"
#include "Vocarion/Core/AudioEncoder.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/FeatureExtractor.h"
#include "Vocarion/Core/Text/LogitsFilter.h"
#include "Vocarion/Core/TextDecoder.h"
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

// Keeps the tokens and the logits of every sampling step, as the sampler gets them (the
// configured filters run after the built-in ones).
struct StepRecorder : LogitsFiltering {
    struct Step {
        std::vector<int> tokens;
        std::vector<float> logits;
    };
    void filterLogits(std::span<float> logits, const std::vector<int>& tokens) const override {
        steps.push_back({tokens, std::vector<float>(logits.begin(), logits.end())});
    }
    mutable std::vector<Step> steps;
};

// Leaves only the next token of a script to be sampled, from the first sampling step of
// each window on. A token the engine's own filters forbid stays forbidden, and the
// window then fails for want of a usable logit.
struct ScriptedTokens : LogitsFiltering {
    explicit ScriptedTokens(std::vector<int> script) : script(std::move(script)) {}
    void filterLogits(std::span<float> logits, const std::vector<int>& tokens) const override {
        if (!first || tokens.size() <= *first) first = tokens.size();  // a new window's first step
        const size_t step = tokens.size() - *first;
        if (step >= script.size()) return;
        const auto token = static_cast<size_t>(script[step]);
        for (size_t i = 0; i < logits.size(); ++i)
            if (i != token) logits[i] = -std::numeric_limits<float>::infinity();
    }
    std::vector<int> script;
    mutable std::optional<size_t> first;
};

double logSoftmax(const std::vector<float>& logits, int token) {
    double top = -std::numeric_limits<double>::infinity();
    for (float v : logits) top = std::max(top, double(v));
    double sum = 0;
    for (float v : logits) sum += std::exp(double(v) - top);
    return double(logits.at(size_t(token))) - top - std::log(sum);
}

}  // namespace

TEST(EngineDecisions, DefaultOptionsDetectTheLanguageOfTheSpeechAndReturnItsText) {
    const DecodingOptions defaults;
    // No language, and prefill on, which leaves detectLanguage off: no language is given,
    // so the engine detects it all the same.
    ASSERT_FALSE(defaults.language.has_value());
    ASSERT_TRUE(defaults.usePrefillPrompt);
    ASSERT_FALSE(defaults.detectLanguage);
    const struct {
        std::string spoken, language;
    } cases[] = {{"Guten Morgen, liebe Freunde.", "de"}, {"Good morning, dear friends.", "en"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.language);
        const std::string text = " " + c.spoken;
        auto engine = makeEngine(variant("--text '" + text + "' --language " + c.language));
        const auto results = engine->transcribe(speech(c.spoken), defaults);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].language, c.language);
        // Timestamps are on and special tokens kept: "<|0.00|>" leads the text.
        EXPECT_EQ(results[0].text, "<|0.00|>" + text);
        ASSERT_EQ(results[0].segments.size(), 1u);
        EXPECT_FLOAT_EQ(results[0].segments[0].end, float(speech(c.spoken).size()) / Constants::sampleRate);
        // One try of the text's tokens and the first timestamp: tokens per second count tokens.
        const auto& timings = results[0].timings;
        EXPECT_EQ(timings.totalDecodedTokens, double(engine->tokenizer()->encode(text).size() + 1));
        EXPECT_DOUBLE_EQ(timings.tokensPerSecond(), timings.totalDecodedTokens / timings.decodingLoop);
    }
    // Detection asked for overrides a given language.
    auto options = appOptions("fr");
    options.detectLanguage = true;
    EXPECT_EQ(makeEngine(variant(kSpeech))->transcribe(speech(), options).at(0).language, "de");
}

TEST(EngineDecisions, TheTextOfEveryWindowIsKeptWithAndWithoutChunking) {
    auto engine = makeEngine(variant(kSpeech));
    const auto audio = speechWithPauses(65.0);
    for (const auto strategy : {ChunkingStrategy::none, ChunkingStrategy::vad}) {
        SCOPED_TRACE(std::string(toString(strategy)));
        auto options = appOptions("de", 0);
        options.chunkingStrategy = strategy;
        const auto results = engine->transcribe(audio, options);
        std::string joined, expected;
        std::vector<float> starts;
        for (const auto& result : results) {
            std::string ofSegments;
            for (const auto& segment : result.segments) {
                ofSegments += segment.text;
                expected += kText;
                starts.push_back(segment.start);
            }
            EXPECT_EQ(result.text, ofSegments);
            joined += result.text;
        }
        EXPECT_EQ(joined, expected);
        EXPECT_TRUE(std::is_sorted(starts.begin(), starts.end()));
        if (strategy == ChunkingStrategy::none) {
            ASSERT_EQ(results.size(), 1u);
            EXPECT_EQ(starts, (std::vector<float>{0, 30, 60}));  // three windows, one text each
        } else {
            EXPECT_GE(results.size(), 3u);
        }
    }
}

// One window decoded by the engine's decoder with a recorder as the last filter: what each
// step could sample, and how the result scores the tokens sampled.
TEST(EngineDecisions, EachStepSamplesOnlyWhatItMayAndTheResultScoresTheSampledTokens) {
    auto engine = makeEngine(variant("--text ' Hallo Welt' --language de --confidence 4"));
    const auto& tokenizer = *engine->tokenizer();
    const auto& special = tokenizer.specialTokens();
    const auto blanks = tokenizer.encode(" ");
    const auto window = engine->audioProcessor()->padOrTrim(speech(), 0, engine->featureExtractor()->windowSamples());
    const auto encoded = engine->audioEncoder()->encodeFeatures(engine->featureExtractor()->logMelSpectrogram(window));
    const auto finite = [](const std::vector<float>& logits, int token) { return std::isfinite(logits.at(size_t(token))); };

    for (const bool withoutTimestamps : {true, false}) {
        SCOPED_TRACE(withoutTimestamps ? "without timestamps" : "with timestamps");
        auto recorder = std::make_shared<StepRecorder>();
        auto options = appOptions("de", 0);
        options.withoutTimestamps = withoutTimestamps;
        options.suppressBlank = true;
        const auto result = engine->textDecoder()->decodeText(encoded, options, 0.0f, {&tokenizer, {recorder}, 0});
        const auto& steps = recorder->steps;
        ASSERT_EQ(steps.size(), result.tokens.size() + 1) << "every token, then the end of text";
        ASSERT_GE(steps.size(), 3u);

        // Timestamps only when wanted: without them, at no step; with them, first of all,
        // then text after that single timestamp, then timestamps again after the text.
        for (size_t i = 0; i < steps.size(); ++i) {
            bool anyTimestamp = false;
            for (int token = special.timeTokenBegin; token < int(steps[i].logits.size()); ++token)
                anyTimestamp |= finite(steps[i].logits, token);
            EXPECT_EQ(anyTimestamp, !withoutTimestamps && i != 1) << "step " << i;
        }
        if (!withoutTimestamps) { EXPECT_EQ(result.tokens.front(), special.timeTokenBegin); }
        // Blank and the end of text are suppressed at the first step only.
        for (int blank : blanks) {
            EXPECT_FALSE(finite(steps[0].logits, blank));
            EXPECT_TRUE(finite(steps[1].logits, blank));
        }
        EXPECT_FALSE(finite(steps[0].logits, special.endToken));
        EXPECT_TRUE(finite(steps[1].logits, special.endToken));

        // Scores: each token's log-probability under the logits it was sampled from; the
        // average over every sampled token, the end of text included; the first token's.
        std::vector<double> logProbs;
        for (size_t i = 0; i < steps.size(); ++i)
            logProbs.push_back(logSoftmax(steps[i].logits, i < result.tokens.size() ? result.tokens[i] : special.endToken));
        for (size_t i = 0; i < result.tokens.size(); ++i) EXPECT_NEAR(result.tokenLogProbs.at(i), logProbs[i], 1e-6);
        EXPECT_NEAR(result.avgLogProb, std::accumulate(logProbs.begin(), logProbs.end(), 0.0) / double(logProbs.size()), 1e-6);
        ASSERT_GT(std::abs(logProbs.front() - logProbs.back()), 1e-4) << "the first step must be told apart from the last";
        EXPECT_NEAR(result.firstTokenLogProb, logProbs.front(), 1e-6);
    }
}

// With timestamps, a window whose text runs on past its last pair of timestamps is
// decoded again from that pair on: the next window starts there, not 30 s later.
TEST(EngineDecisions, TheNextWindowStartsWhereTheLastCompleteSegmentEnds) {
    const auto tokenizerOwner = makeEngine(variant(kSpeech))->tokenizer();
    const auto& tokenizer = *tokenizerOwner;
    const int time0 = tokenizer.specialTokens().timeTokenBegin, time10 = time0 + 500;
    const int guten = tokenizer.encode(" Guten").at(0), morgen = tokenizer.encode(" Morgen").at(0);
    // A timestamp, one text token (right after a single timestamp), a closed pair, more
    // text and the end: one complete segment of 10 s per window.
    auto script = std::make_shared<ScriptedTokens>(
        std::vector<int>{time0, guten, time10, time10, morgen, tokenizer.specialTokens().endToken});
    auto engine = makeEngine(variant(kSpeech), VocarionConfig{.logitsFilters = std::vector<std::shared_ptr<LogitsFiltering>>{script}});
    auto options = appOptions("de", 0);
    options.withoutTimestamps = false;
    options.chunkingStrategy = ChunkingStrategy::none;
    const auto results = engine->transcribe(speechWithPauses(65.0), options);
    ASSERT_EQ(results.size(), 1u);
    std::vector<float> starts, ends;
    for (const auto& segment : results[0].segments) {
        starts.push_back(segment.start);
        ends.push_back(segment.end);
        EXPECT_EQ(segment.text, tokenizer.decode(std::vector<int>{guten}));
    }
    EXPECT_EQ(starts, (std::vector<float>{0, 10, 20, 30, 40, 50, 60}));
    EXPECT_EQ(ends, (std::vector<float>{10, 20, 30, 40, 50, 60, 65}));
}

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
        // The seek counts mel frames of the whole audio, so every chunk's lies inside it.
        const auto seekSample = static_cast<size_t>(results[i].segments.at(0).seek) * Constants::hopLength;
        EXPECT_GE(seekSample, chunks[i].start) << "chunk " << i;
        EXPECT_LT(seekSample, chunks[i].end) << "chunk " << i;
    }

    options.concurrentWorkerCount = 1;  // one chunk per batch
    int calls = 0;
    const auto stopped = engine->transcribe(audio, options, [&](const TranscriptionProgress&) { return ++calls, std::optional<bool>(false); });
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].text, kText);
}

// A recording shorter than the tail left out after a window is still one window of its own:
// a short word gives its text, with or without chunking and as a clip of a longer recording.
TEST(EngineDecisions, AWordShorterThanASecondGivesItsText) {
    auto engine = makeEngine(variant(kSpeech));
    std::vector<float> word = speech("Ja");
    word.resize(Constants::sampleRate / 2);  // 0.5 s
    std::vector<float> longer(3 * Constants::sampleRate, 0.0f);
    std::copy(word.begin(), word.end(), longer.begin() + Constants::sampleRate);
    struct Case {
        const char* name;
        const std::vector<float>& audio;
        ChunkingStrategy strategy;
        std::vector<float> clips;
    };
    for (const auto& c : {Case{"0.5 s, no chunking", word, ChunkingStrategy::none, {}},
                          Case{"0.5 s, VAD chunking", word, ChunkingStrategy::vad, {}},
                          Case{"a clip of 0.5 s", longer, ChunkingStrategy::none, {1.0f, 1.5f}}}) {
        SCOPED_TRACE(c.name);
        auto options = appOptions("de", 0);
        options.chunkingStrategy = c.strategy;
        options.clipTimestamps = c.clips;
        const auto results = engine->transcribe(c.audio, options);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].text, kText);
        ASSERT_EQ(results[0].segments.size(), 1u);
    }
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

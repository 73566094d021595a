#include <gtest/gtest.h>

#include "Vocarion/Core/Configurations.h"

using namespace vocarion;

namespace {

TEST(DecodingOptions, DefaultsOfTheInitialiser) {
    const DecodingOptions o;
    EXPECT_FALSE(o.verbose);
    EXPECT_EQ(o.task, DecodingTask::transcribe);
    EXPECT_EQ(o.language, std::nullopt);
    EXPECT_FLOAT_EQ(o.temperature, 0.0f);
    EXPECT_FLOAT_EQ(o.temperatureIncrementOnFallback, 0.2f);
    EXPECT_EQ(o.temperatureFallbackCount, 5);
    EXPECT_EQ(o.sampleLength, 224);
    EXPECT_EQ(o.topK, 5);
    EXPECT_TRUE(o.usePrefillPrompt);
    EXPECT_FALSE(o.detectLanguage);  // the negation of usePrefillPrompt
    EXPECT_FALSE(o.skipSpecialTokens);
    EXPECT_FALSE(o.withoutTimestamps);
    EXPECT_FALSE(o.wordTimestamps);
    EXPECT_EQ(o.maxInitialTimestamp, std::nullopt);
    EXPECT_EQ(o.maxWindowSeek, std::nullopt);
    EXPECT_TRUE(o.clipTimestamps.empty());
    EXPECT_FLOAT_EQ(o.windowClipTime, 1.0f);
    EXPECT_EQ(o.promptTokens, std::nullopt);
    EXPECT_EQ(o.prefixTokens, std::nullopt);
    EXPECT_FALSE(o.suppressBlank);
    EXPECT_TRUE(o.suppressTokens.empty());
    EXPECT_EQ(o.compressionRatioThreshold, 2.4f);
    EXPECT_EQ(o.logProbThreshold, -1.0f);
    EXPECT_EQ(o.firstTokenLogProbThreshold, -1.5f);
    EXPECT_EQ(o.noSpeechThreshold, 0.6f);
    EXPECT_EQ(o.concurrentWorkerCount, 16);
    EXPECT_EQ(o.chunkingStrategy, std::nullopt);
}

TEST(DecodingOptions, MissingDetectLanguageFollowsPrefill) {
    EXPECT_TRUE(DecodingOptions({.usePrefillPrompt = false}).detectLanguage);
    EXPECT_FALSE(DecodingOptions({.usePrefillPrompt = true}).detectLanguage);
    // A given value wins, either way round.
    EXPECT_TRUE(DecodingOptions({.usePrefillPrompt = true, .detectLanguage = true}).detectLanguage);
    EXPECT_FALSE(DecodingOptions({.usePrefillPrompt = false, .detectLanguage = false}).detectLanguage);
}

TEST(DecodingOptions, GivenListsAndCountsAreKept) {
    const DecodingOptions o({.suppressTokens = std::vector<int>{1, 2}, .concurrentWorkerCount = 0});
    EXPECT_EQ(o.suppressTokens, (std::vector<int>{1, 2}));
    EXPECT_EQ(o.concurrentWorkerCount, 0);  // 0 is a value (one batch), not "missing"
}

// Absent lists and counts take their defaults (the transcriber's full set of options is
// checked with the transcriber).
TEST(DecodingOptions, AbsentListsAndCountsTakeTheirDefaults) {
    DecodingOptions o({.language = "de", .skipSpecialTokens = true, .withoutTimestamps = true,
                       .suppressTokens = std::nullopt, .concurrentWorkerCount = std::nullopt,
                       .chunkingStrategy = ChunkingStrategy::vad});
    EXPECT_EQ(o.language, "de");
    EXPECT_TRUE(o.skipSpecialTokens);
    EXPECT_TRUE(o.withoutTimestamps);
    EXPECT_TRUE(o.suppressTokens.empty());
    EXPECT_EQ(o.concurrentWorkerCount, 16);
    EXPECT_EQ(o.chunkingStrategy, ChunkingStrategy::vad);
    // promptTokens is settable afterwards.
    o.promptTokens = std::vector<int>{10, 11};
    EXPECT_EQ(o.promptTokens, (std::vector<int>{10, 11}));
}

TEST(DecodingOptions, TaskAndChunkingRawValues) {
    EXPECT_EQ(toString(DecodingTask::transcribe), "transcribe");
    EXPECT_EQ(toString(DecodingTask::translate), "translate");
    EXPECT_EQ(decodingTaskFromString("translate"), DecodingTask::translate);
    EXPECT_EQ(decodingTaskFromString("Translate"), std::nullopt);
    EXPECT_EQ(toString(ChunkingStrategy::none), "none");
    EXPECT_EQ(toString(ChunkingStrategy::vad), "vad");
    EXPECT_EQ(chunkingStrategyFromString("vad"), ChunkingStrategy::vad);
    EXPECT_EQ(chunkingStrategyFromString(""), std::nullopt);
}

// (The transcriber's own configuration is checked with the transcriber.)
TEST(VocarionConfig, UnsetSettingsStayUnset) {
    const VocarionConfig config{.model = "tiny", .modelFolder = "/models/variant"};
    EXPECT_EQ(config.model, "tiny");
    EXPECT_EQ(config.modelFolder, "/models/variant");
    EXPECT_EQ(config.downloadBase, std::nullopt);
    EXPECT_EQ(config.modelRepo, std::nullopt);
    EXPECT_EQ(config.modelToken, std::nullopt);
    EXPECT_EQ(config.modelEndpoint, std::nullopt);
    EXPECT_EQ(config.tokenizerFolder, std::nullopt);
    EXPECT_FALSE(config.computeOptions.has_value());
    EXPECT_FALSE(config.audioInputConfig.has_value());
    EXPECT_FALSE(config.audioProcessor || config.featureExtractor || config.audioEncoder || config.textDecoder ||
                 config.segmentSeeker || config.voiceActivityDetector);
    EXPECT_FALSE(config.logitsFilters.has_value());
    // Prewarm and load are left to the engine; the plain settings have their defaults.
    EXPECT_EQ(config.prewarm, std::nullopt);
    EXPECT_EQ(config.load, std::nullopt);
    EXPECT_TRUE(config.verbose);
    EXPECT_EQ(config.logLevel, bexmor::Logging::LogLevel::info);
    EXPECT_TRUE(config.download);
    EXPECT_FALSE(config.useBackgroundDownloadSession);
}

TEST(VocarionConfig, ComputeOptionsDefaults) {
    using platform::ml::ComputeUnits;
    const ModelComputeOptions options;
    EXPECT_EQ(options.melCompute, ComputeUnits::cpuAndGPU);
    EXPECT_EQ(options.audioEncoderCompute, ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(options.textDecoderCompute, ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(options.prefillCompute, ComputeUnits::cpuOnly);
}

}  // namespace

#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "BexmorCore/Logging.h"
#include "Platform/ML/ComputeUnits.h"
#include "Vocarion/Core/Constants.h"

namespace vocarion {

// The engine's replaceable components; the engine defines them.
class AudioProcessing;
class FeatureExtracting;
class AudioEncoding;
class TextDecoding;
class LogitsFiltering;
class SegmentSeeking;
class VoiceActivityDetector;

// What to do with the speech: write it down in its own language, or in English.
enum class DecodingTask { transcribe, translate };
std::string_view toString(DecodingTask task);
std::optional<DecodingTask> decodingTaskFromString(std::string_view rawValue);

// How long audio is cut before decoding: not at all, or at silences.
enum class ChunkingStrategy { none, vad };
std::string_view toString(ChunkingStrategy strategy);
std::optional<ChunkingStrategy> chunkingStrategyFromString(std::string_view rawValue);

// The compute units asked of each model. On this platform every model runs on the CPU;
// the choice is kept and reported.
struct ModelComputeOptions {
    using ComputeUnits = platform::ml::ComputeUnits;
    ComputeUnits melCompute = ComputeUnits::cpuAndGPU;
    ComputeUnits audioEncoderCompute = ComputeUnits::cpuAndNeuralEngine;
    ComputeUnits textDecoderCompute = ComputeUnits::cpuAndNeuralEngine;
    ComputeUnits prefillCompute = ComputeUnits::cpuOnly;
};

// How a multi-channel input becomes the engine's mono signal.
struct AudioInputConfig {
    enum class ChannelMode {
        sumChannels,      // the listed channels (none listed: all) summed
        specificChannel,  // only the first listed channel (none listed: channel 0)
    };
    ChannelMode channelMode = ChannelMode::sumChannels;
    std::vector<int> channels;
};

// The engine configuration. Every optional setting that is not given stays unset; the
// engine decides what an unset one means when it is built. Build it with designated
// initialisers, in field order:
//   VocarionConfig{.modelFolder = path, .tokenizerFolder = models, .verbose = false, ...}
struct VocarionConfig {
    std::optional<std::string> model;                     // variant name, e.g. "tiny"
    std::optional<std::filesystem::path> downloadBase;    // where downloads land
    std::optional<std::string> modelRepo;                 // hub repository id
    std::optional<std::string> modelToken;                // hub access token
    std::optional<std::string> modelEndpoint;             // hub address
    std::optional<std::string> modelFolder;               // a variant folder, as a path
    std::optional<std::filesystem::path> tokenizerFolder; // download base of tokenizer files
    std::optional<ModelComputeOptions> computeOptions;
    std::optional<AudioInputConfig> audioInputConfig;
    std::shared_ptr<AudioProcessing> audioProcessor;
    std::shared_ptr<FeatureExtracting> featureExtractor;
    std::shared_ptr<AudioEncoding> audioEncoder;
    std::shared_ptr<TextDecoding> textDecoder;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters;
    std::shared_ptr<SegmentSeeking> segmentSeeker;
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector;
    bool verbose = true;
    bexmor::Logging::LogLevel logLevel = bexmor::Logging::LogLevel::info;
    std::optional<bool> prewarm;
    std::optional<bool> load;
    bool download = true;
    bool useBackgroundDownloadSession = false;
};

// The decoding options. Build them from Arguments, whose fields are the initialiser's
// 27 arguments in order; three of them are resolved when the options are made:
// a missing detectLanguage becomes !usePrefillPrompt, a missing suppressTokens the empty
// list and a missing concurrentWorkerCount 16.
//   DecodingOptions options({.language = "de", .usePrefillPrompt = true});
struct DecodingOptions {
    struct Arguments {
        bool verbose = false;
        DecodingTask task = DecodingTask::transcribe;
        std::optional<std::string> language;
        float temperature = 0.0f;
        float temperatureIncrementOnFallback = 0.2f;
        int temperatureFallbackCount = 5;
        int sampleLength = Constants::maxTokenContext;
        int topK = 5;
        bool usePrefillPrompt = true;
        std::optional<bool> detectLanguage;
        bool skipSpecialTokens = false;
        bool withoutTimestamps = false;
        bool wordTimestamps = false;
        std::optional<float> maxInitialTimestamp;
        std::optional<int> maxWindowSeek;
        std::vector<float> clipTimestamps;
        float windowClipTime = 1.0f;
        std::optional<std::vector<int>> promptTokens;
        std::optional<std::vector<int>> prefixTokens;
        bool suppressBlank = false;
        std::optional<std::vector<int>> suppressTokens;
        std::optional<float> compressionRatioThreshold = 2.4f;
        std::optional<float> logProbThreshold = -1.0f;
        std::optional<float> firstTokenLogProbThreshold = -1.5f;
        std::optional<float> noSpeechThreshold = 0.6f;
        std::optional<int> concurrentWorkerCount;
        std::optional<ChunkingStrategy> chunkingStrategy;
    };

    DecodingOptions();
    explicit DecodingOptions(const Arguments& arguments);

    bool verbose;
    DecodingTask task;
    std::optional<std::string> language;
    float temperature;
    float temperatureIncrementOnFallback;
    int temperatureFallbackCount;
    int sampleLength;
    int topK;
    bool usePrefillPrompt;
    bool detectLanguage;
    bool skipSpecialTokens;
    bool withoutTimestamps;
    bool wordTimestamps;
    std::optional<float> maxInitialTimestamp;
    std::optional<int> maxWindowSeek;
    std::vector<float> clipTimestamps;
    float windowClipTime;
    std::optional<std::vector<int>> promptTokens;  // settable after initialisation
    std::optional<std::vector<int>> prefixTokens;
    bool suppressBlank;
    std::vector<int> suppressTokens;
    std::optional<float> compressionRatioThreshold;
    std::optional<float> logProbThreshold;
    std::optional<float> firstTokenLogProbThreshold;
    std::optional<float> noSpeechThreshold;
    int concurrentWorkerCount;  // 0: all chunks in one batch
    std::optional<ChunkingStrategy> chunkingStrategy;
};

}  // namespace vocarion

#include "Vocarion/Core/Configurations.h"

namespace vocarion {

std::string_view toString(DecodingTask task) {
    switch (task) {
    case DecodingTask::transcribe: return "transcribe";
    case DecodingTask::translate: return "translate";
    }
    return "transcribe";
}

std::optional<DecodingTask> decodingTaskFromString(std::string_view rawValue) {
    if (rawValue == "transcribe") return DecodingTask::transcribe;
    if (rawValue == "translate") return DecodingTask::translate;
    return std::nullopt;
}

std::string_view toString(ChunkingStrategy strategy) {
    switch (strategy) {
    case ChunkingStrategy::none: return "none";
    case ChunkingStrategy::vad: return "vad";
    }
    return "none";
}

std::optional<ChunkingStrategy> chunkingStrategyFromString(std::string_view rawValue) {
    if (rawValue == "none") return ChunkingStrategy::none;
    if (rawValue == "vad") return ChunkingStrategy::vad;
    return std::nullopt;
}

DecodingOptions::DecodingOptions() : DecodingOptions(Arguments{}) {}

DecodingOptions::DecodingOptions(const Arguments& a)
    : verbose(a.verbose),
      task(a.task),
      language(a.language),
      temperature(a.temperature),
      temperatureIncrementOnFallback(a.temperatureIncrementOnFallback),
      temperatureFallbackCount(a.temperatureFallbackCount),
      sampleLength(a.sampleLength),
      topK(a.topK),
      usePrefillPrompt(a.usePrefillPrompt),
      detectLanguage(a.detectLanguage.value_or(!a.usePrefillPrompt)),
      skipSpecialTokens(a.skipSpecialTokens),
      withoutTimestamps(a.withoutTimestamps),
      wordTimestamps(a.wordTimestamps),
      maxInitialTimestamp(a.maxInitialTimestamp),
      maxWindowSeek(a.maxWindowSeek),
      clipTimestamps(a.clipTimestamps),
      windowClipTime(a.windowClipTime),
      promptTokens(a.promptTokens),
      prefixTokens(a.prefixTokens),
      suppressBlank(a.suppressBlank),
      suppressTokens(a.suppressTokens.value_or(std::vector<int>{})),
      compressionRatioThreshold(a.compressionRatioThreshold),
      logProbThreshold(a.logProbThreshold),
      firstTokenLogProbThreshold(a.firstTokenLogProbThreshold),
      noSpeechThreshold(a.noSpeechThreshold),
      concurrentWorkerCount(a.concurrentWorkerCount.value_or(Constants::defaultConcurrentWorkerCount)),
      chunkingStrategy(a.chunkingStrategy) {}

}  // namespace vocarion

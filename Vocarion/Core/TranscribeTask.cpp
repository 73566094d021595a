#include "Vocarion/Core/TranscribeTask.h"

#include <chrono>

#include "BexmorCore/Logging.h"
#include "Vocarion/Core/Audio/AudioProcessor.h"
#include "Vocarion/Core/AudioEncoder.h"
#include "Vocarion/Core/Constants.h"
#include "Vocarion/Core/DarivirTokenizer.h"
#include "Vocarion/Core/DecodingFallback.h"
#include "Vocarion/Core/FeatureExtractor.h"
#include "Vocarion/Core/Text/SegmentSeeker.h"
#include "Vocarion/Core/TextDecoder.h"
#include "Vocarion/Utilities/DarivirError.h"

namespace vocarion {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

DecodingThresholds thresholdsOf(const DecodingOptions& options) {
    return {options.compressionRatioThreshold, options.logProbThreshold, options.firstTokenLogProbThreshold,
            options.noSpeechThreshold};
}

DecodingQuality qualityOf(const DecodingResult& result) {
    return {result.compressionRatio, result.avgLogProb, result.firstTokenLogProb, result.noSpeechProb};
}

}  // namespace

TranscribeTask::TranscribeTask(TranscriptionComponents components) : components_(std::move(components)) {
    if (!components_.tokenizer) throw DarivirError::tokenizerUnavailable();
    if (!components_.audioProcessor || !components_.featureExtractor || !components_.audioEncoder ||
        !components_.textDecoder || !components_.segmentSeeker)
        throw DarivirError::modelsUnavailable("the engine has no complete set of components");
}

DecodingResult TranscribeTask::decodeWithFallback(const platform::ml::MultiArray& encoderOutput,
                                                  const DecodingOptions& options, uint64_t seed,
                                                  TranscriptionTimings& timings) const {
    DecodingContext context{components_.tokenizer.get(), components_.logitsFilters, seed};
    const auto thresholds = thresholdsOf(options);
    DecodingResult result;
    const int tries = std::max(0, options.temperatureFallbackCount) + 1;
    for (int attempt = 0; attempt < tries; ++attempt) {
        const float temperature = options.temperature + options.temperatureIncrementOnFallback * static_cast<float>(attempt);
        context.seed = seed * 31 + static_cast<uint64_t>(attempt);
        const auto start = Clock::now();
        result = components_.textDecoder->decodeText(encoderOutput, options, temperature, context);
        timings.decodingLoop += secondsSince(start);
        timings.totalDecodingLoops += 1;
        result.fallbackReason = DecodingFallback::fallbackReason(qualityOf(result), thresholds);
        if (!result.fallbackReason) break;
        if (attempt + 1 < tries) {
            timings.totalDecodingFallbacks += 1;
            bexmor::Logging::debug("Decoding at temperature", temperature, "fell back:", *result.fallbackReason);
        }
    }
    return result;
}

TranscriptionResult TranscribeTask::run(std::span<const float> audio, const DecodingOptions& options,
                                        const TranscriptionCallback& callback,
                                        const SegmentDiscoveryCallback& segmentCallback) const {
    const auto pipelineStart = Clock::now();
    TranscriptionResult transcription;
    auto& timings = transcription.timings;
    timings.pipelineStart =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    timings.inputAudioSeconds = static_cast<double>(audio.size()) / Constants::sampleRate;
    const auto thresholds = thresholdsOf(options);
    const size_t windowLength = components_.featureExtractor->windowSamples();
    transcription.language = options.language.value_or("");

    size_t seek = 0;
    int windowId = 0;
    while (seek < audio.size()) {
        auto step = Clock::now();
        const auto window = components_.audioProcessor->padOrTrim(audio, seek, windowLength);
        timings.audioProcessing += secondsSince(step);
        timings.totalAudioProcessingRuns += 1;

        step = Clock::now();
        const auto features = components_.featureExtractor->logMelSpectrogram(window);
        timings.logmels += secondsSince(step);
        timings.totalLogmelRuns += 1;

        step = Clock::now();
        const auto encoderOutput = components_.audioEncoder->encodeFeatures(features);
        timings.encoding += secondsSince(step);
        timings.totalEncodingRuns += 1;

        const auto result = decodeWithFallback(encoderOutput, options, static_cast<uint64_t>(windowId), timings);
        if (windowId == 0 && !result.language.empty()) transcription.language = result.language;
        if (timings.firstTokenTime == 0) timings.firstTokenTime = secondsSince(pipelineStart);

        const WindowSpan span{seek, windowLength, audio.size()};
        if (DecodingFallback::isSilence(qualityOf(result), thresholds)) {
            bexmor::Logging::debug("Window", windowId, "is silence; no text");
            seek += windowLength;
        } else {
            auto [nextSeek, segments] = components_.segmentSeeker->findSeekPointAndSegments(
                result, options, static_cast<int>(transcription.segments.size()), span, *components_.tokenizer);
            seek = nextSeek;
            if (segmentCallback && !segments.empty()) segmentCallback(segments);
            for (auto& segment : segments) {
                transcription.text += segment.text;
                transcription.segments.push_back(std::move(segment));
            }
        }
        timings.totalDecodingWindows += 1;
        ++windowId;

        if (callback) {
            TranscriptionProgress progress;
            progress.timings = timings;
            progress.text = transcription.text;
            progress.tokens = result.tokens;
            progress.temperature = result.temperature;
            progress.avgLogprob = result.avgLogProb;
            progress.compressionRatio = result.compressionRatio;
            progress.windowId = windowId - 1;
            const auto proceed = callback(progress);
            if (proceed && !*proceed) break;
        }
    }
    timings.fullPipeline = secondsSince(pipelineStart);
    return transcription;
}

}  // namespace vocarion

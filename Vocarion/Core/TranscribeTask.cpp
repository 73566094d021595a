#include "Vocarion/Core/TranscribeTask.h"

#include <chrono>
#include <cmath>

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
        timings.totalDecodedTokens += static_cast<double>(result.tokens.size());
        result.fallbackReason = DecodingFallback::fallbackReason(qualityOf(result), thresholds);
        if (!result.fallbackReason) break;
        if (attempt + 1 < tries) {
            timings.totalDecodingFallbacks += 1;
            bexmor::Logging::debug("Decoding at temperature", temperature, "fell back:", *result.fallbackReason);
        }
    }
    return result;
}

std::vector<std::pair<size_t, size_t>> TranscribeTask::clipRanges(const DecodingOptions& options, size_t audioLength) {
    if (options.wordTimestamps) throw DarivirError::transcriptionFailed("word timestamps are not supported");
    if (options.maxWindowSeek) throw DarivirError::transcriptionFailed("maxWindowSeek is not supported");
    if (!std::isfinite(options.windowClipTime) || options.windowClipTime < 0)
        throw DarivirError::transcriptionFailed("windowClipTime must be zero or more seconds");
    if (options.clipTimestamps.empty()) return {{0, audioLength}};
    std::vector<std::pair<size_t, size_t>> clips;
    const auto& times = options.clipTimestamps;
    double previousEnd = 0;
    for (size_t i = 0; i < times.size(); i += 2) {
        const double start = times[i];
        const double end = i + 1 < times.size() ? times[i + 1] : static_cast<double>(audioLength) / Constants::sampleRate;
        if (!std::isfinite(start) || !std::isfinite(end) || start < previousEnd || end < start)
            throw DarivirError::transcriptionFailed(
                "clipTimestamps must be pairs of start and end seconds, in order and not overlapping");
        previousEnd = end;
        const size_t from = std::min(audioLength, static_cast<size_t>(std::llround(start * Constants::sampleRate)));
        const size_t to = std::min(audioLength, static_cast<size_t>(std::llround(end * Constants::sampleRate)));
        if (from < to) clips.emplace_back(from, to);
    }
    return clips;
}

TranscriptionResult TranscribeTask::run(std::span<const float> audio, const DecodingOptions& options,
                                        const TranscriptionCallback& callback,
                                        const SegmentDiscoveryCallback& segmentCallback) const {
    const auto pipelineStart = Clock::now();
    const auto clips = clipRanges(options, audio.size());
    TranscriptionResult transcription;
    auto& timings = transcription.timings;
    timings.pipelineStart =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    timings.inputAudioSeconds = static_cast<double>(audio.size()) / Constants::sampleRate;
    const auto thresholds = thresholdsOf(options);
    const size_t windowLength = components_.featureExtractor->windowSamples();
    // After a clip's first window, a rest shorter than this is left out: too little sound to
    // give text, enough for the decoder to invent some.
    const auto tailSamples = static_cast<size_t>(options.windowClipTime * Constants::sampleRate);
    transcription.language = options.language.value_or("");

    int windowId = 0;
    bool stopped = false;
    for (const auto& [clipStart, clipEnd] : clips) {
        const auto clip = audio.first(clipEnd);
        for (size_t seek = clipStart; seek < clipEnd && !stopped;) {
            if (seek > clipStart && clipEnd - seek < tailSamples) break;
            auto step = Clock::now();
            const auto window = components_.audioProcessor->padOrTrim(clip, seek, windowLength);
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

            const WindowSpan span{seek, windowLength, clipEnd};
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
                stopped = proceed && !*proceed;
            }
        }
        if (stopped) break;
    }
    timings.fullPipeline = secondsSince(pipelineStart);
    return transcription;
}

}  // namespace vocarion

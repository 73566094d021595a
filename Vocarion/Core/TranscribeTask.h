#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "Platform/ML/MultiArray.h"
#include "Vocarion/Core/Configurations.h"
#include "Vocarion/Core/Models.h"

namespace vocarion {

class AudioProcessing;
class FeatureExtracting;
class AudioEncoding;
class TextDecoding;
class SegmentSeeking;
class LogitsFiltering;
class DarivirTokenizer;

// Called after each decoded window with the text so far; returning false stops the
// transcription after that window. May be called on a worker thread.
using TranscriptionCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;
// Called with the segments of each window as they are found. May be called on a worker thread.
using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;

// The parts one transcription runs through; shared, read-only while transcribing.
struct TranscriptionComponents {
    std::shared_ptr<AudioProcessing> audioProcessor;
    std::shared_ptr<FeatureExtracting> featureExtractor;
    std::shared_ptr<AudioEncoding> audioEncoder;
    std::shared_ptr<TextDecoding> textDecoder;
    std::shared_ptr<SegmentSeeking> segmentSeeker;
    std::vector<std::shared_ptr<LogitsFiltering>> logitsFilters;
    std::shared_ptr<const DarivirTokenizer> tokenizer;
};

// Transcribes one stretch of audio: it walks the audio in windows (padded or trimmed to
// the window length), computes the features and encoder states of each, decodes with
// temperature fallback, drops windows that are silence and gathers the segments.
class TranscribeTask {
public:
    explicit TranscribeTask(TranscriptionComponents components);

    TranscriptionResult run(std::span<const float> audio, const DecodingOptions& options,
                            const TranscriptionCallback& callback = {},
                            const SegmentDiscoveryCallback& segmentCallback = {}) const;

    // Decodes one window's encoder states, raising the temperature while the fallback
    // rules ask for it; the last try is kept when none is good enough.
    DecodingResult decodeWithFallback(const platform::ml::MultiArray& encoderOutput, const DecodingOptions& options,
                                      uint64_t seed, TranscriptionTimings& timings) const;

    // The stretches to transcribe, in samples: the clips of `clipTimestamps` (pairs of start
    // and end seconds; a last start alone runs to the end), or the whole audio. Throws the
    // engine's error for options the engine does not apply (word timestamps, maxWindowSeek)
    // and for clips that are not in order.
    static std::vector<std::pair<size_t, size_t>> clipRanges(const DecodingOptions& options, size_t audioLength);

private:
    TranscriptionComponents components_;
};

}  // namespace vocarion

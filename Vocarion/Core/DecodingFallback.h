#pragma once

#include <optional>
#include <string>

namespace vocarion {

// What the fallback rules look at in one decoding of a window.
struct DecodingQuality {
    float compressionRatio = 0.0f;   // zlib ratio of the text: high for repetitive loops
    float avgLogProb = 0.0f;         // mean log-probability of the sampled tokens (end of text included)
    float firstTokenLogProb = 0.0f;  // log-probability of the first sampled token
    float noSpeechProb = 0.0f;       // probability of "no speech" after the start of transcript
};

struct DecodingThresholds {
    std::optional<float> compressionRatio;
    std::optional<float> logProb;
    std::optional<float> firstTokenLogProb;
    std::optional<float> noSpeech;
};

// The rules that decide whether a window is decoded again at a higher temperature, and
// whether a window counts as silence and gives no text.
class DecodingFallback {
public:
    // The reason to decode again ("compressionRatio", "logProb", "firstTokenLogProb"), or
    // none when the result is good enough or the window is silence (see isSilence; a retry
    // would only invent text).
    static std::optional<std::string> fallbackReason(const DecodingQuality& quality, const DecodingThresholds& thresholds);

    // A window whose no-speech probability is above its threshold and whose text is also
    // unlikely (average log-probability below its threshold, when one is set) is silence.
    static bool isSilence(const DecodingQuality& quality, const DecodingThresholds& thresholds);
};

}  // namespace vocarion

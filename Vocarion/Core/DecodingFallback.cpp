#include "Vocarion/Core/DecodingFallback.h"

namespace vocarion {

std::optional<std::string> DecodingFallback::fallbackReason(const DecodingQuality& quality,
                                                            const DecodingThresholds& thresholds) {
    // Silence gives no text, so a retry would only invent some. A likely "no speech" alone
    // is no reason to keep a repetitive or unlikely text: that is what the retry is for.
    if (isSilence(quality, thresholds)) return std::nullopt;
    if (thresholds.compressionRatio && quality.compressionRatio > *thresholds.compressionRatio) return "compressionRatio";
    if (thresholds.logProb && quality.avgLogProb < *thresholds.logProb) return "logProb";
    if (thresholds.firstTokenLogProb && quality.firstTokenLogProb < *thresholds.firstTokenLogProb) return "firstTokenLogProb";
    return std::nullopt;
}

bool DecodingFallback::isSilence(const DecodingQuality& quality, const DecodingThresholds& thresholds) {
    if (!thresholds.noSpeech || !(quality.noSpeechProb > *thresholds.noSpeech)) return false;
    return !thresholds.logProb || quality.avgLogProb < *thresholds.logProb;
}

}  // namespace vocarion

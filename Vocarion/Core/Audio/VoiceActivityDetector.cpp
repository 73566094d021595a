#include "Vocarion/Core/Audio/VoiceActivityDetector.h"

#include <algorithm>

namespace vocarion {

VoiceActivityDetector::VoiceActivityDetector(size_t sampleRate, size_t frameLengthSamples)
    : sampleRate_(sampleRate), frameLengthSamples_(std::max<size_t>(1, frameLengthSamples)) {}

std::optional<FrameRun> VoiceActivityDetector::longestSilence(const std::vector<bool>& activity) {
    std::optional<FrameRun> best;
    size_t i = 0;
    while (i < activity.size()) {
        if (activity[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < activity.size() && !activity[j]) ++j;
        if (!best || j - i >= best->length()) best = FrameRun{i, j};
        i = j;
    }
    return best;
}

std::vector<std::pair<size_t, size_t>> VoiceActivityDetector::activeRanges(std::span<const float> waveform) const {
    const auto activity = voiceActivity(waveform);
    std::vector<std::pair<size_t, size_t>> ranges;
    size_t i = 0;
    while (i < activity.size()) {
        if (!activity[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < activity.size() && activity[j]) ++j;
        ranges.emplace_back(frameToSampleIndex(i), std::min(frameToSampleIndex(j), waveform.size()));
        i = j;
    }
    return ranges;
}

}  // namespace vocarion

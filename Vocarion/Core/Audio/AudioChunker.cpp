#include "Vocarion/Core/Audio/AudioChunker.h"

#include <algorithm>

#include "Vocarion/Core/Audio/EnergyVAD.h"

namespace vocarion {

VADAudioChunker::VADAudioChunker(std::shared_ptr<const VoiceActivityDetector> detector)
    : detector_(detector ? std::move(detector) : std::make_shared<EnergyVAD>()) {}

std::vector<AudioChunkRange> VADAudioChunker::chunkAll(std::span<const float> audio, size_t maxChunkLength) const {
    std::vector<AudioChunkRange> chunks;
    if (audio.empty()) return chunks;
    if (maxChunkLength == 0) return {{0, audio.size()}};
    size_t start = 0;
    while (start < audio.size()) {
        const size_t windowEnd = std::min(start + maxChunkLength, audio.size());
        if (windowEnd == audio.size()) {
            chunks.push_back({start, windowEnd});
            break;
        }
        size_t cut = windowEnd;
        const auto activity = detector_->voiceActivity(audio.subspan(start, windowEnd - start));
        // A silence at the very start of the window is no place to cut: it would make a
        // chunk of nothing but that silence. Count it as voice for the search.
        auto searched = activity;
        for (size_t i = 0; i < searched.size() && !searched[i]; ++i) searched[i] = true;
        if (const auto silence = VoiceActivityDetector::longestSilence(searched)) {
            const size_t frame = detector_->frameLengthSamples();
            const size_t silenceStart = silence->startFrame * frame;
            const size_t silenceEnd = std::min(silence->endFrame * frame, windowEnd - start);
            const size_t middle = start + (silenceStart + silenceEnd) / 2;
            if (middle > start) cut = std::min(middle, windowEnd);
        }
        chunks.push_back({start, cut});
        start = cut;
    }
    return chunks;
}

}  // namespace vocarion

#include "Vocarion/Core/Audio/EnergyVAD.h"

#include <algorithm>

#include "Vocarion/Core/Audio/AudioProcessor.h"

namespace vocarion {

EnergyVAD::EnergyVAD(size_t sampleRate, size_t frameLengthSamples, float energyThreshold)
    : VoiceActivityDetector(sampleRate, frameLengthSamples), energyThreshold_(energyThreshold) {}

std::vector<bool> EnergyVAD::voiceActivity(std::span<const float> waveform) const {
    const size_t frame = frameLengthSamples();
    std::vector<bool> activity;
    activity.reserve((waveform.size() + frame - 1) / frame);
    for (size_t start = 0; start < waveform.size(); start += frame) {
        const size_t length = std::min(frame, waveform.size() - start);
        activity.push_back(AudioProcessor::rootMeanSquare(waveform.subspan(start, length)) > energyThreshold_);
    }
    return activity;
}

}  // namespace vocarion

#pragma once

#include "Vocarion/Core/Audio/VoiceActivityDetector.h"

namespace vocarion {

// Voice where a frame's loudness (root mean square) exceeds a threshold. Cheap and good
// enough to find the pauses between sentences of a dictation.
class EnergyVAD : public VoiceActivityDetector {
public:
    // Frames of 0.1 s at 16 kHz; a root mean square of 0.02 is about -34 dBFS.
    explicit EnergyVAD(size_t sampleRate = 16000, size_t frameLengthSamples = 1600, float energyThreshold = 0.02f);

    std::vector<bool> voiceActivity(std::span<const float> waveform) const override;

    float energyThreshold() const { return energyThreshold_; }

private:
    float energyThreshold_;
};

}  // namespace vocarion

#pragma once

#include <span>

#include "Vocarion/Core/Audio/VoiceActivityDetector.h"

namespace vocarion {

// Voice where a frame's loudness (root mean square) stands clearly above the recording's
// noise floor. The level is derived from the signal, so a quiet microphone and a noisy
// room find their pauses as a loud, clean one does. Cheap and good enough to find the
// pauses between sentences of a dictation.
class EnergyVAD : public VoiceActivityDetector {
public:
    // Frames of 0.1 s at 16 kHz.
    explicit EnergyVAD(size_t sampleRate = 16000, size_t frameLengthSamples = 1600);

    // -80 dBFS: a frame at or below this level is digital silence, never voice.
    static constexpr float lowestLevel = 1e-4f;

    std::vector<bool> voiceActivity(std::span<const float> waveform) const override;

    // The loudness (root mean square) of each frame of `frameLength` samples, the last
    // frame possibly shorter.
    static std::vector<float> frameLevels(std::span<const float> waveform, size_t frameLength);
    // The recording's noise floor in these frame loudnesses: the quietest tenth of the frames.
    static float noiseFloor(std::span<const float> frameLevels);
    // The level that separates voice from silence in these frame loudnesses: the noise
    // floor times 3, about 10 dB above it, and never below -80 dBFS, so that digital
    // silence still counts as silence.
    static float energyThreshold(std::span<const float> frameLevels);
};

}  // namespace vocarion

#include "Vocarion/Core/Audio/EnergyVAD.h"

#include <algorithm>
#include <vector>

#include "Vocarion/Core/Audio/AudioProcessor.h"

namespace vocarion {

namespace {

constexpr float kAboveFloor = 3.0f;     // about 10 dB
constexpr double kFloorQuantile = 0.1;  // the quietest tenth of the frames is the noise

}  // namespace

EnergyVAD::EnergyVAD(size_t sampleRate, size_t frameLengthSamples)
    : VoiceActivityDetector(sampleRate, frameLengthSamples) {}

std::vector<float> EnergyVAD::frameLevels(std::span<const float> waveform, size_t frameLength) {
    std::vector<float> levels;
    levels.reserve((waveform.size() + frameLength - 1) / frameLength);
    for (size_t start = 0; start < waveform.size(); start += frameLength) {
        const size_t length = std::min(frameLength, waveform.size() - start);
        levels.push_back(AudioProcessor::rootMeanSquare(waveform.subspan(start, length)));
    }
    return levels;
}

float EnergyVAD::noiseFloor(std::span<const float> frameLevels) {
    std::vector<float> sorted(frameLevels.begin(), frameLevels.end());
    const auto floor = sorted.begin() + static_cast<std::ptrdiff_t>(kFloorQuantile * static_cast<double>(sorted.size() - 1));
    std::nth_element(sorted.begin(), floor, sorted.end());
    return *floor;
}

float EnergyVAD::energyThreshold(std::span<const float> frameLevels) {
    if (frameLevels.empty()) return lowestLevel;
    return std::max(lowestLevel, noiseFloor(frameLevels) * kAboveFloor);
}

std::vector<bool> EnergyVAD::voiceActivity(std::span<const float> waveform) const {
    const std::vector<float> levels = frameLevels(waveform, frameLengthSamples());
    const float threshold = energyThreshold(levels);
    std::vector<bool> activity;
    activity.reserve(levels.size());
    for (float level : levels) activity.push_back(level > threshold);
    return activity;
}

}  // namespace vocarion

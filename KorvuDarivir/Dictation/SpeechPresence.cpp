#include "KorvuDarivir/Dictation/SpeechPresence.h"

#include "Vocarion/Core/Audio/AudioProcessor.h"
#include "Vocarion/Core/Audio/EnergyVAD.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace korvu {
namespace {

constexpr std::size_t kFrame = 1600;           // 0.1 s at 16 kHz, the detector's frame
constexpr std::size_t kLeastVoicedFrames = 2;  // 0.2 s: a short word, more than a click
// About -40 dBFS: no quiet room is louder than this. A floor above it means the recording
// never falls silent, and the detector's relative threshold cannot tell voice from noise.
constexpr float kLoudFloor = 0.01f;

}  // namespace

bool containsSpeech(std::span<const float> samples)
{
    if (samples.empty()) return false;
    const vocarion::EnergyVAD detector(16000, kFrame);
    const std::vector<bool> activity = detector.voiceActivity(samples);
    const auto voiced = static_cast<std::size_t>(std::count(activity.begin(), activity.end(), true));
    if (voiced >= kLeastVoicedFrames) return true;

    std::vector<float> levels;
    for (std::size_t start = 0; start < samples.size(); start += kFrame) {
        levels.push_back(vocarion::AudioProcessor::rootMeanSquare(
            samples.subspan(start, std::min(kFrame, samples.size() - start))));
    }
    // The noise floor as the detector takes it: the quietest tenth of the frames.
    auto floor = levels.begin() + static_cast<std::ptrdiff_t>((levels.size() - 1) / 10);
    std::nth_element(levels.begin(), floor, levels.end());
    return *floor > kLoudFloor;
}

}  // namespace korvu

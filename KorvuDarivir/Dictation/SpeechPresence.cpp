#include "KorvuDarivir/Dictation/SpeechPresence.h"

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
    // The detector's own measure, taken once: frames that stand out from the floor, and
    // the floor itself.
    const std::vector<float> levels = vocarion::EnergyVAD::frameLevels(samples, kFrame);
    const float threshold = vocarion::EnergyVAD::energyThreshold(levels);
    const auto voiced =
        static_cast<std::size_t>(std::count_if(levels.begin(), levels.end(), [&](float level) { return level > threshold; }));
    return voiced >= kLeastVoicedFrames || vocarion::EnergyVAD::noiseFloor(levels) > kLoudFloor;
}

}  // namespace korvu

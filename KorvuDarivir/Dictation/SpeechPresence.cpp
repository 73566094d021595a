#include "KorvuDarivir/Dictation/SpeechPresence.h"

#include "Vocarion/Core/Audio/EnergyVAD.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <vector>

namespace korvu {
namespace {

constexpr std::size_t kFrame = 1600;           // 0.1 s at 16 kHz, the detector's frame
constexpr std::size_t kLeastVoicedFrames = 2;  // 0.2 s: a short word, more than a click
// Below 0.5 s of noise-like sound the recording has no room to measure: a few fricatives
// of a word spoken into digital silence are not a floor.
constexpr std::size_t kLeastNoiseFrames = 5;
// A sound without a room to measure is measured against itself, a second either side of each
// frame: speech rises and falls with its syllables by well over 10 dB within a second, a
// hum or a rumble does not. Below a second of sound there is too little to tell a short
// phrase from a hum; it is measured against the silence around it.
constexpr std::size_t kReach = 10;
constexpr std::size_t kLeastOwnFrames = 10;
constexpr std::size_t kOrder = 12;  // the predictor's samples: a voice's formants up to 8 kHz
// 7 dB: voiced speech reaches 10 to 25 dB alone and 8 or more over as loud white noise 13 dB
// below it; pink noise mostly 3 to 6 (now and then 8: such a frame is still no louder
// than the room), white noise 0.
constexpr double kVoiceGain = 5.0;
// 12 dB: no steady noise comes near it; a frame this foreseeable is a vowel (or a tone).
constexpr double kClearVoiceGain = 15.8;
// A predictor this good (60 dB) is a pure tone; the recursion stops before rounding
// makes the rest meaningless.
constexpr double kBestGain = 1e6;

// The sum of x[j] * x[j - lag]: eight running sums side by side, which the compiler turns
// into vector instructions (a single sum in order would forbid it).
float lagProduct(std::span<const float> x, std::size_t lag)
{
    std::array<float, 8> lanes{};
    std::size_t j = lag;
    for (; j + lanes.size() <= x.size(); j += lanes.size())
        for (std::size_t l = 0; l < lanes.size(); ++l) lanes[l] += x[j + l] * x[j + l - lag];
    float sum = std::accumulate(lanes.begin(), lanes.end(), 0.0f);
    for (; j < x.size(); ++j) sum += x[j] * x[j - lag];
    return sum;
}

// The frame's power over what a linear predictor of kOrder samples leaves unexplained
// (the autocorrelation method, Levinson-Durbin recursion), mean removed: 1 for white
// noise or a constant, more for a spectrum with peaks. It is the inverse of the spectral
// flatness as far as kOrder samples can see.
double predictionGain(std::span<const float> frame, std::vector<float>& centred)
{
    const double mean = std::accumulate(frame.begin(), frame.end(), 0.0) / static_cast<double>(frame.size());
    centred.resize(frame.size());
    std::transform(frame.begin(), frame.end(), centred.begin(), [&](float x) { return static_cast<float>(x - mean); });
    std::array<double, kOrder + 1> r{};
    for (std::size_t lag = 0; lag <= kOrder && lag < centred.size(); ++lag) r[lag] = lagProduct(centred, lag);
    if (r[0] <= 0) return 1;

    std::array<double, kOrder + 1> a{1.0};
    double error = r[0];
    for (std::size_t i = 1; i <= kOrder; ++i) {
        double acc = r[i];
        for (std::size_t j = 1; j < i; ++j) acc += a[j] * r[i - j];
        const double reflection = -acc / error;
        const auto previous = a;
        for (std::size_t j = 1; j < i; ++j) a[j] = previous[j] + reflection * previous[i - j];
        a[i] = reflection;
        error *= 1 - reflection * reflection;
        if (error * kBestGain <= r[0]) return kBestGain;
    }
    return r[0] / error;
}

// The samples from the first to the last that are not digital silence: a microphone that
// opens late, or a feed that ends early, adds silence before and after the sound, which
// says nothing of it. The detector's frames are then laid from the sound's first sample,
// so none of them holds silence for part of its length (a frame half silent would be a
// swing the sound does not make).
std::span<const float> withoutSilentEdges(std::span<const float> samples)
{
    const auto audible = [](float s) { return std::abs(s) > vocarion::EnergyVAD::lowestLevel; };
    const auto first = std::find_if(samples.begin(), samples.end(), audible);
    if (first == samples.end()) return {};
    const auto last = std::find_if(samples.rbegin(), samples.rend(), audible).base();
    return {first, last};
}

// The level each frame must pass when no frame sounds like a room: the detector's threshold
// over the audible frames within kReach of it, so a sound steady for its whole length never
// stands above itself. Where less than kLeastOwnFrames of sound is near, it is measured
// against the silence around it (`lowestLevel`) or, with none around it, against its own
// quietest frames.
std::vector<float> ownThresholds(const std::vector<float>& levels, bool silenceAround)
{
    const float shortSound = silenceAround ? vocarion::EnergyVAD::lowestLevel : vocarion::EnergyVAD::energyThreshold(levels);
    std::vector<float> thresholds(levels.size(), shortSound);
    std::vector<float> near;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        near.clear();
        for (std::size_t j = i - std::min(i, kReach); j < std::min(levels.size(), i + kReach + 1); ++j)
            if (levels[j] > vocarion::EnergyVAD::lowestLevel) near.push_back(levels[j]);
        if (near.size() >= kLeastOwnFrames) thresholds[i] = vocarion::EnergyVAD::energyThreshold(near);
    }
    return thresholds;
}

}  // namespace

bool containsSpeech(std::span<const float> recording)
{
    const std::span<const float> samples = withoutSilentEdges(recording);
    if (samples.empty()) return false;
    // The detector's own measure, taken once.
    const std::vector<float> levels = vocarion::EnergyVAD::frameLevels(samples, kFrame);
    std::vector<double> gains(levels.size(), 1.0);
    std::vector<float> noiseLevels;
    std::vector<float> centred;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] <= vocarion::EnergyVAD::lowestLevel) continue;  // digital silence tells nothing
        const std::size_t start = i * kFrame;
        gains[i] = predictionGain(samples.subspan(start, std::min(kFrame, samples.size() - start)), centred);
        if (gains[i] < kVoiceGain) noiseLevels.push_back(levels[i]);
    }
    const std::vector<float> thresholds =
        noiseLevels.size() >= kLeastNoiseFrames
            ? std::vector<float>(levels.size(), vocarion::EnergyVAD::energyThreshold(noiseLevels))
            : ownThresholds(levels, recording.size() - samples.size() >= kFrame);
    // A word is two frames above the floor, and a voice in them: two frames that sound
    // like one, or one that can be nothing else (a short vowel between hissing sounds).
    std::size_t aboveFloor = 0;
    std::size_t voiceLike = 0;
    bool clearVoice = false;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] <= thresholds[i]) continue;
        ++aboveFloor;
        if (gains[i] >= kVoiceGain) ++voiceLike;
        clearVoice = clearVoice || gains[i] >= kClearVoiceGain;
    }
    return aboveFloor >= kLeastVoicedFrames && (voiceLike >= kLeastVoicedFrames || clearVoice);
}

}  // namespace korvu

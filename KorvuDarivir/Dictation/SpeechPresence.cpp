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
// A sound without a room to measure is measured against itself, a second before and a second
// after each frame: speech rises and falls with its syllables by well over 10 dB within a
// second, a hum or a rumble does not, and a sound that steps to another level stays there.
// Below a second of sound there is too little to tell a short phrase from a hum; it is
// measured against the silence around it.
constexpr std::size_t kReach = 10;
constexpr std::size_t kLeastOwnFrames = 10;
// 0.3 s: the least of a side that tells where the sound goes. Less is left out, so the
// sound's first and last frames are judged by one side; a louder level that lasts 1.2 s or
// more at the start or the end of the sound still fails the other.
constexpr std::size_t kLeastSide = 3;
// Half a step of 16-bit sound: what a 16-bit microphone gives as zero, and float rounding.
constexpr float kRoundedToZero = 0.5f / 32768;
// 10 ms of zeros in a row. A sound near the silence level (-80 dBFS) leaves only a few
// zeros in a row; what a still quieter sound loses to this stays below every floor anyway.
constexpr std::size_t kLeastSilence = 160;
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

// The sound without its digital silence: the runs of samples at or within rounding of zero
// that a microphone opening late, a feed ending early or a noise gate in the microphone
// chain give. They say nothing of the sound, wherever they stand, and the sound's pieces
// are joined (in `joined`, when there is more than one), so the detector's frames never hold
// silence for part of their length (a frame half silent would be a swing the sound does
// not make). A quiet frame of a sound that goes on is no digital silence: a real sound near
// the silence level leaves only a few exact zeros in a row.
std::span<const float> withoutDigitalSilence(std::span<const float> samples, std::vector<float>& joined)
{
    const auto silent = [](float s) { return std::abs(s) <= kRoundedToZero; };
    std::vector<std::span<const float>> pieces;
    auto kept = samples.begin();  // where the piece after the last silence starts
    for (auto quiet = std::find_if(samples.begin(), samples.end(), silent); quiet != samples.end();) {
        const auto loud = std::find_if_not(quiet, samples.end(), silent);
        if (loud - quiet >= static_cast<std::ptrdiff_t>(kLeastSilence)) {
            if (quiet != kept) pieces.emplace_back(kept, quiet);
            kept = loud;
        }
        quiet = std::find_if(loud, samples.end(), silent);
    }
    if (kept != samples.end()) pieces.emplace_back(kept, samples.end());
    // Silence before and after the sound only, the usual case: the sound is a part of the
    // recording as it stands.
    if (pieces.size() <= 1) return pieces.empty() ? std::span<const float>() : pieces.front();
    joined.reserve(std::accumulate(pieces.begin(), pieces.end(), std::size_t{0},
                                   [](std::size_t sum, std::span<const float> piece) { return sum + piece.size(); }));
    for (const std::span<const float> piece : pieces) joined.insert(joined.end(), piece.begin(), piece.end());
    return joined;
}

// The level each frame must pass when no frame sounds like a room: the detector's threshold
// over the sound within kReach before it, and over the sound within kReach after it,
// whichever is higher. A frame must stand above the quiet part of the sound on both sides:
// speech falls again within a second and rose from below within a second, a steady sound
// never stands above itself, and a sound that steps to another level and stays there stands
// above its past but not above its future. A side too short to tell (the sound's first and
// last frames) is left out. A sound shorter than kLeastOwnFrames is measured against the
// digital silence around it (`lowestLevel`) or, with none around it, against its own
// quietest frames.
std::vector<float> ownThresholds(const std::vector<float>& levels, bool silenceAround)
{
    if (levels.size() < kLeastOwnFrames) {
        return std::vector<float>(levels.size(), silenceAround ? vocarion::EnergyVAD::lowestLevel
                                                               : vocarion::EnergyVAD::energyThreshold(levels));
    }
    std::vector<float> thresholds(levels.size(), vocarion::EnergyVAD::lowestLevel);
    const std::span<const float> all(levels);
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const std::span<const float> before = all.subspan(i - std::min(i, kReach), std::min(i, kReach));
        const std::span<const float> after = all.subspan(i + 1, std::min(levels.size() - i - 1, kReach));
        if (before.size() >= kLeastSide) thresholds[i] = vocarion::EnergyVAD::energyThreshold(before);
        if (after.size() >= kLeastSide) thresholds[i] = std::max(thresholds[i], vocarion::EnergyVAD::energyThreshold(after));
    }
    return thresholds;
}

}  // namespace

bool containsSpeech(std::span<const float> recording)
{
    std::vector<float> joined;
    const std::span<const float> samples = withoutDigitalSilence(recording, joined);
    if (samples.empty()) return false;
    // The detector's own measure, taken once.
    const std::vector<float> levels = vocarion::EnergyVAD::frameLevels(samples, kFrame);
    std::vector<double> gains(levels.size(), 1.0);
    std::vector<float> noiseLevels;
    std::vector<float> centred;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] <= vocarion::EnergyVAD::lowestLevel) continue;  // below every floor
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

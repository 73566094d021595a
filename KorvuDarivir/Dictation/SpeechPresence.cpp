#include "KorvuDarivir/Dictation/SpeechPresence.h"

#include "Vocarion/Core/Audio/AudioProcessor.h"
#include "Vocarion/Core/Audio/EnergyVAD.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <numeric>
#include <optional>
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
// 20 ms: how much of the sound beside a gate's silence tells the level at which it closes and
// opens. Less and the dull noises (brown, a rumble) swing too much from piece to piece to give
// a level; much more and it reaches into the word the gate let through.
constexpr std::size_t kBesideSilence = 320;
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

// The recording's sound: what lies between the digital silence before it and after it (a
// microphone opening late, a feed ending early, a gate that opened for the sound and closed
// after it). What came before and after is hidden; the sound's level where the silence ends and
// begins is all it tells of it. Digital silence inside the sound is a gate in the microphone
// chain (a noise gate, a noise suppressor's voice threshold) closing between words, or inside
// them: it stays where it is, and the sound is judged by the level at which that gate closes
// and opens.
struct Sound {
    std::span<const float> samples;
    std::optional<float> openedAt;     // the level of its first 20 ms, after digital silence
    std::optional<float> closedAt;     // the level of its last 20 ms, before digital silence
    std::vector<std::size_t> silent;   // each detector frame's samples of digital silence
    std::vector<float> besideSilence;  // the level of the sound just before and after each run of it
};

Sound soundOf(std::span<const float> recording)
{
    const auto silentSample = [](float s) { return std::abs(s) <= kRoundedToZero; };
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (auto quiet = std::find_if(recording.begin(), recording.end(), silentSample); quiet != recording.end();) {
        const auto loud = std::find_if_not(quiet, recording.end(), silentSample);
        if (loud - quiet >= static_cast<std::ptrdiff_t>(kLeastSilence))
            runs.emplace_back(quiet - recording.begin(), loud - recording.begin());
        quiet = std::find_if(loud, recording.end(), silentSample);
    }
    std::size_t first = 0, last = recording.size();
    if (!runs.empty() && runs.front().first == 0) first = runs.front().second;
    if (!runs.empty() && runs.back().second == recording.size()) last = std::max(first, runs.back().first);
    Sound sound{recording.subspan(first, last - first), {}, {}, std::vector<std::size_t>((last - first + kFrame - 1) / kFrame), {}};
    const auto levelOf = [&](std::size_t from, std::size_t to) {
        return vocarion::AudioProcessor::rootMeanSquare(recording.subspan(from, to - from));
    };
    if (last - first >= kBesideSilence) {
        if (first > 0) sound.openedAt = levelOf(first, first + kBesideSilence);
        if (last < recording.size()) sound.closedAt = levelOf(last - kBesideSilence, last);
    }
    for (const auto& [begin, end] : runs) {
        if (begin < first || end > last) continue;  // before or after the sound
        sound.besideSilence.push_back(levelOf(begin - std::min(kBesideSilence, begin - first), begin));
        sound.besideSilence.push_back(levelOf(end, end + std::min(kBesideSilence, last - end)));
        for (std::size_t at = begin; at < end;) {
            const std::size_t frameEnd = first + ((at - first) / kFrame + 1) * kFrame;
            sound.silent[(at - first) / kFrame] += std::min(end, frameEnd) - at;
            at = std::min(end, frameEnd);
        }
    }
    return sound;
}

// The level of what sounds in each frame, the gate's silence left out: a frame half silent is
// no quieter part of the sound. A frame that is all silence has none.
std::vector<float> soundingLevels(const Sound& sound, const std::vector<float>& levels)
{
    std::vector<float> sounding(levels.size(), 0.0f);
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const std::size_t length = std::min(kFrame, sound.samples.size() - i * kFrame);
        if (sound.silent[i] < length)
            sounding[i] = levels[i] * static_cast<float>(std::sqrt(double(length) / double(length - sound.silent[i])));
    }
    return sounding;
}

// The level each frame must pass when no frame sounds like a room: the detector's threshold
// over the sound within kReach before it, and over the sound within kReach after it,
// whichever is higher. A frame must stand above the quiet part of the sound on both sides:
// speech falls again within a second and rose from below within a second, a steady sound
// never stands above itself, and a sound that steps to another level and stays there stands
// above its past but not above its future. A side too short to tell (the sound's first and
// last frames) is left out. A sound shorter than kLeastOwnFrames is measured against the
// digital silence around it (`lowestLevel`) or, with none around it, against its own quietest
// frames. Between the two, where a frame's seconds reach the whole sound, the sound's levels
// where it meets the digital silence before and after it belong to them: a quick sentence that
// a gate let through whole rose from the level at which the gate opened and fell to the one at
// which it closed, without a pause of its own deep enough; a sound that is no word stands at
// its own level there. Further off, that level says nothing (a gate's attack or a sound that
// fades in is quiet at its start, whatever follows).
std::vector<float> ownThresholds(const std::vector<float>& levels, const Sound& sound, bool silenceAround)
{
    if (levels.size() < kLeastOwnFrames) {
        return std::vector<float>(levels.size(), silenceAround ? vocarion::EnergyVAD::lowestLevel
                                                               : vocarion::EnergyVAD::energyThreshold(levels));
    }
    std::vector<float> thresholds(levels.size(), vocarion::EnergyVAD::lowestLevel);
    // `edge`: the sound's level at the silence; it is as much a floor as the side's own
    // quietest frames.
    const auto sideThreshold = [](std::span<const float> frames, std::optional<float> edge) {
        if (frames.size() < kLeastSide) return vocarion::EnergyVAD::lowestLevel;
        const float threshold = vocarion::EnergyVAD::energyThreshold(frames);
        return edge ? std::min(threshold, vocarion::EnergyVAD::energyThreshold(std::span(&*edge, 1))) : threshold;
    };
    const std::span<const float> all(levels);
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const std::size_t from = i - std::min(i, kReach), to = std::min(levels.size(), i + 1 + kReach);
        const bool wholeSound = from == 0 && to == levels.size();
        thresholds[i] = std::max(sideThreshold(all.subspan(from, i - from), wholeSound ? sound.openedAt : std::nullopt),
                                 sideThreshold(all.subspan(i + 1, to - i - 1), wholeSound ? sound.closedAt : std::nullopt));
    }
    return thresholds;
}

}  // namespace

bool containsSpeech(std::span<const float> recording)
{
    const Sound sound = soundOf(recording);
    const std::span<const float> samples = sound.samples;
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
    // Behind a gate, the sound must stand clearly above the level at which the gate closes and
    // opens, as speech does between the pauses the gate silenced; a steady sound cut by a gate
    // stands at that level. Neither a room nor the sound's own quiet part is a floor there: the
    // gate took exactly the quiet part of the speech away. Without a gate, a frame must stand
    // above the room or, without a room, above the quiet part of the sound around it. A sound
    // too short to be measured against itself is a short word however it was cut (the closure
    // of its stop as silent as the gate's).
    const bool gated = !sound.besideSilence.empty() && levels.size() >= kLeastOwnFrames;
    const std::vector<float> judged = gated ? soundingLevels(sound, levels) : levels;
    const std::vector<float> thresholds =
        gated ? std::vector<float>(levels.size(), vocarion::EnergyVAD::energyThreshold(sound.besideSilence))
        : noiseLevels.size() >= kLeastNoiseFrames
            ? std::vector<float>(levels.size(), vocarion::EnergyVAD::energyThreshold(noiseLevels))
            : ownThresholds(levels, sound, recording.size() - samples.size() >= kFrame);
    // A word is two frames above the floor, and a voice in them: two frames that sound
    // like one, or one that can be nothing else (a short vowel between hissing sounds).
    std::size_t aboveFloor = 0;
    std::size_t voiceLike = 0;
    bool clearVoice = false;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (judged[i] <= thresholds[i]) continue;
        ++aboveFloor;
        if (gains[i] >= kVoiceGain) ++voiceLike;
        clearVoice = clearVoice || gains[i] >= kClearVoiceGain;
    }
    return aboveFloor >= kLeastVoicedFrames && (voiceLike >= kLeastVoicedFrames || clearVoice);
}

}  // namespace korvu

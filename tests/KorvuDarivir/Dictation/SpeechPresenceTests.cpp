// The speech gate on real sound: room noise made by sox (pink and white, at levels from a
// silent room to a loud fan; and steady sounds of other spectra: rumbles, dull or narrow
// noise, hums and tones), espeak-ng speech at two loudnesses, and the two mixed. The
// sound also comes after digital silence, as from a microphone that opens late.
#include "KorvuDarivir/Dictation/SpeechPresence.h"

#include "support/Speech.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t kRate = 16000;

std::vector<float> spoken(const std::string& text)
{
    testsupport::TempDir folder;
    testsupport::speakToWav(text, folder / "speech.wav");
    return testsupport::readWav(folder / "speech.wav").samples;
}

std::vector<float> noise(const std::string& kind, double dbfs) { return testsupport::roomNoise(kind, dbfs, 4); }

// `length` samples: the background (cut or padded with digital silence) after `silence`
// samples of digital silence, plus `sound` times `gain` from `at` on.
std::vector<float> mix(const std::vector<float>& background, std::size_t silence, std::size_t length,
                       const std::vector<float>& sound = {}, double gain = 1, std::size_t at = 0)
{
    std::vector<float> out(length, 0.0f);
    for (std::size_t i = silence; i < length && i - silence < background.size(); ++i) out[i] = background[i - silence];
    for (std::size_t i = 0; i < sound.size() && at + i < length; ++i) out[at + i] += static_cast<float>(gain * sound[i]);
    return out;
}

// The loudest `length` samples of a recording, from a whole number of 0.1 s frames in.
std::vector<float> loudest(const std::vector<float>& samples, std::size_t length)
{
    std::size_t best = 0;
    double bestPower = -1;
    for (std::size_t start = 0; start + length <= samples.size(); start += 160) {
        double power = 0;
        for (std::size_t i = start; i < start + length; ++i) power += double(samples[i]) * samples[i];
        if (power > bestPower) bestPower = power, best = start;
    }
    const auto first = samples.begin() + static_cast<std::ptrdiff_t>(best);
    return {first, first + static_cast<std::ptrdiff_t>(length)};
}

struct Case {
    std::string name;
    std::vector<float> samples;
    bool speech;
};

void expectVerdicts(const std::vector<Case>& cases)
{
    for (const Case& c : cases) {
        EXPECT_EQ(korvu::containsSpeech(c.samples), c.speech) << c.name;
    }
}

const std::vector<double> kLevels{-70, -60, -50, -40, -30};

// The amplitude factor of a level in decibels.
double gain(double level) { return std::pow(10.0, level / 20); }

}  // namespace

// Steady noise of either kind and any level is no speech: held alone and after the
// microphone opened late (half a second of digital silence). Speech over the same noise is.
TEST(SpeechPresence, SteadyNoiseIsNoSpeechAtAnyLevelSpeechOverItIs)
{
    const std::vector<float> sentence = spoken("Bitte ruf mich morgen an.");
    std::vector<Case> cases;
    for (const std::string kind : {"pinknoise", "whitenoise"}) {
        for (const double level : kLevels) {
            const std::string name = kind + " at " + std::to_string(int(level)) + " dBFS";
            const std::vector<float> room = noise(kind, level);
            cases.push_back({name + ", 3 s", mix(room, 0, 3 * kRate), false});
            cases.push_back({name + ", 3 s after 0.5 s of digital silence", mix(room, kRate / 2, 7 * kRate / 2), false});
            // Normal speech (about -21 dBFS) over it, half a second after the press.
            cases.push_back({"speech over " + name, mix(room, 0, sentence.size() + kRate, sentence, 1, kRate / 2), true});
        }
    }
    // A minute of pink noise, in which now and then a frame sounds a little like a voice.
    cases.push_back({"pinknoise at -50 dBFS, 60 s after 0.5 s of digital silence",
                     mix(testsupport::roomNoise("pinknoise", -50, 60), kRate / 2, 121 * kRate / 2), false});
    // A duller room: its noise lacks the highest tones, and a fifth of its frames sound
    // a little like a voice when taken alone; beside the rest they are no louder.
    cases.push_back({"pinknoise without its top octave at -50 dBFS, 4 s after 0.5 s of digital silence",
                     mix(testsupport::roomNoise("pinknoise", -50, 4, "lowpass 6000"), kRate / 2, 9 * kRate / 2), false});
    // A fan that starts a second into a quiet room: louder than the room, but no voice.
    for (const std::string kind : {"pinknoise", "whitenoise"}) {
        std::vector<float> fan = mix(noise(kind, -40), kRate, 3 * kRate);
        const std::vector<float> room = noise("pinknoise", -70);
        for (std::size_t i = 0; i < kRate; ++i) fan[i] = room[i];
        cases.push_back({kind + " at -40 dBFS starting after 1 s of a room at -70 dBFS", fan, false});
    }
    expectVerdicts(cases);
}

// A steady sound of any spectrum is no speech, at any level and however late the
// microphone opened: the linear predictor foresees a rumble, a hum or a tone as well as a
// voice, so none of it sounds like a room, and the sound must be measured against itself
// (never against the silence before it). Speech over such a sound, and a word after it, is.
TEST(SpeechPresence, SteadySoundsOfAnySpectrumAreNoSpeechSpeechOverThemIs)
{
    // Each sound made once, at a root mean square of 1, and scaled to every level.
    const auto sum = [](std::vector<float> a, const std::vector<float>& b, double gain) {
        for (std::size_t i = 0; i < a.size(); ++i) a[i] += static_cast<float>(gain * b[i]);
        return a;
    };
    const auto made = [](const std::string& kind, const std::string& effects = "") {
        return testsupport::roomNoise(kind, 0, 3, effects);
    };
    const std::vector<float> brown = made("brownnoise");
    const std::vector<float> hum = sum(made("sine 120"), made("pinknoise"), 1);
    const std::vector<std::pair<std::string, std::vector<float>>> sounds{
        {"brown noise", brown},
        {"pink noise low-passed at 2 kHz", made("pinknoise", "lowpass 2000")},
        {"pink noise low-passed at 4 kHz", made("pinknoise", "lowpass 4000")},
        {"pink noise from 100 to 200 Hz", made("pinknoise", "sinc 100-200")},
        {"a 120 Hz hum over pink noise, each", hum},
        {"a 120 Hz tone", made("sine 120")},
        {"a 440 Hz tone", made("sine 440")},
        {"a 1 kHz tone", made("sine 1000")},
        {"a 3 kHz tone", made("sine 3000")},
        {"brown noise, a 50 Hz hum 6 dB below and a hiss 10 dB below",
         sum(sum(brown, made("sine 50"), 0.5), made("pinknoise", "lowpass 4000"), 0.32)},
    };
    struct Lead {
        std::string name;
        std::size_t before;
        std::size_t after;
        std::size_t length = 3 * kRate;  // of the sound
    };
    const std::vector<Lead> leads{
        {"", 0, 0},
        {" after 0.5 s of digital silence", kRate / 2, 0},
        {" after 1 s of digital silence", kRate, 0},
        // Too short to be measured against itself, with nothing but itself to measure by.
        {", 0.6 s", 0, 0, 6 * kRate / 10},
        // A microphone that opens within a frame, and a feed that ends before the recording.
        {" between 0.53 s and 0.3 s of digital silence", 53 * kRate / 100, 3 * kRate / 10},
        // The first frame holds 9 ms of the sound, the last 1 ms: frames that hold silence
        // for most of their length are no quieter part of the sound.
        {", 1.41 s between 0.591 s and 0.3 s of digital silence", 591 * kRate / 1000, 3 * kRate / 10, 141 * kRate / 100},
    };
    std::vector<Case> cases;
    for (const auto& [name, sound] : sounds) {
        for (const double level : {-75.0, -60.0, -50.0, -40.0, -30.0}) {
            for (const Lead& lead : leads) {
                const std::vector<float> part(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(lead.length));
                cases.push_back({name + " at " + std::to_string(int(level)) + " dBFS" + lead.name,
                                 mix({}, 0, lead.before + part.size() + lead.after, part, gain(level), lead.before), false});
            }
        }
    }
    // Speech at about -21 dBFS (quietly: -47) half a second into the sound, which starts
    // after half a second of digital silence; a word after two seconds of it.
    const std::vector<float> sentence = spoken("Bitte ruf mich morgen an.");
    const std::vector<float> word = spoken("Ja");
    const std::vector<float> shortWord = spoken("Sechs");
    const auto over = [&](const std::vector<float>& sound, double level, const std::vector<float>& speech,
                          double speechGain, std::size_t at) {
        std::vector<float> out = mix({}, 0, kRate / 2 + std::max(sound.size(), at + speech.size()), sound, gain(level), kRate / 2);
        for (std::size_t i = 0; i < speech.size(); ++i) out[kRate / 2 + at + i] += static_cast<float>(speechGain * speech[i]);
        return out;
    };
    for (const auto& [name, sound] : sounds) {
        for (const double level : {-60.0, -45.0}) {
            const std::string under = name + " at " + std::to_string(int(level)) + " dBFS after digital silence";
            cases.push_back({"speech over " + under, over(sound, level, sentence, 1, kRate / 2), true});
            cases.push_back({"the word after 2 s of " + under, over(sound, level, word, 0.3, 2 * kRate), true});
        }
        cases.push_back({"Sechs over " + name + " at -60 dBFS after digital silence",
                         over(sound, -60, shortWord, 1, kRate), true});
    }
    cases.push_back({"quiet speech (-47 dBFS) over brown noise at -60 dBFS after digital silence",
                     over(brown, -60, sentence, 0.05, kRate / 2), true});
    cases.push_back({"quiet speech (-47 dBFS) over a hum at -65 dBFS after digital silence",
                     over(hum, -65, sentence, 0.05, kRate / 2), true});
    // Short phrases alone in digital silence: too short to have a floor of their own.
    for (const std::string text : {"Guten Morgen", "Ja bitte", "Danke schön"}) {
        cases.push_back({text + " in digital silence", mix({}, 0, 2 * kRate, spoken(text), 1, 53 * kRate / 100), true});
    }
    expectVerdicts(cases);
}

// A voice is heard however quiet, as long as it stands above the room; a word after two
// seconds of noise too. A click, digital silence and nothing at all are no speech.
TEST(SpeechPresence, QuietSpeechAndALateWordAreSpeechAClickIsNot)
{
    const std::vector<float> sentence = spoken("Bitte ruf mich morgen an.");
    const std::vector<float> word = spoken("Ja");
    const std::vector<float> quietRoom = noise("pinknoise", -60);
    std::vector<Case> cases{
        {"nothing", {}, false},
        {"digital silence", std::vector<float>(3 * kRate, 0.0f), false},
        {"speech in digital silence", mix({}, 0, sentence.size() + kRate, sentence, 1, kRate / 2), true},
        {"quiet speech (-47 dBFS) in digital silence", mix({}, 0, sentence.size() + kRate, sentence, 0.05, kRate / 2), true},
        {"quiet speech (-47 dBFS) in a room at -60 dBFS",
         mix(quietRoom, 0, sentence.size() + kRate, sentence, 0.05, kRate / 2), true},
        {"speech from the first sample to the last", sentence, true},
        {"a word after 2 s of digital silence", mix({}, 0, 3 * kRate, word, 0.3, 2 * kRate), true},
    };
    // Short words whose vowel is shorter than two frames, between hissing sounds and stops.
    for (const std::string text : {"Sechs", "Stopp", "Fisch", "Acht"}) {
        const std::vector<float> shortWord = spoken(text);
        cases.push_back({text + " in digital silence", mix({}, 0, 2 * kRate, shortWord, 1, kRate / 2), true});
        cases.push_back({text + ", quietly, in digital silence", mix({}, 0, 2 * kRate, shortWord, 0.05, kRate / 2), true});
        cases.push_back({text + " in a room at -60 dBFS", mix(quietRoom, 0, 2 * kRate, shortWord, 1, kRate / 2), true});
    }
    for (const std::string kind : {"pinknoise", "whitenoise"}) {
        for (const double level : {-60.0, -40.0}) {
            const std::string name = kind + " at " + std::to_string(int(level)) + " dBFS";
            const std::vector<float> room = noise(kind, level);
            cases.push_back({"the word after 2 s of " + name, mix(room, 0, 3 * kRate, word, 0.3, 2 * kRate), true});
            cases.push_back({"the word after 2 s of " + name + " behind digital silence",
                             mix(room, kRate / 2, 3 * kRate, word, 0.3, 2 * kRate), true});
        }
    }
    std::vector<float> click = mix(quietRoom, 0, 3 * kRate / 2);
    for (std::size_t i = 12000; i < 12160; ++i) click[i] = (i % 2 != 0) ? 0.5f : -0.5f;  // a key's click, 10 ms
    cases.push_back({"a click in a quiet room", click, false});
    expectVerdicts(cases);
}

// The least word is two frames of 0.1 s: the loudest 0.2 s of a spoken "Ja" is speech,
// its first 0.1 s alone is not, whether the room is silent or quietly noisy.
TEST(SpeechPresence, TwoVoicedFramesAreAWordOneIsNot)
{
    const std::vector<float> vowel = loudest(spoken("Ja"), 2 * 1600);
    const std::vector<float> oneFrame(vowel.begin(), vowel.begin() + 1600);
    const std::vector<float> quietRoom = noise("pinknoise", -60);
    const std::size_t at = 8 * 1600;  // on a frame's first sample
    expectVerdicts({
        {"two frames in digital silence", mix({}, 0, 2 * kRate, vowel, 1, at), true},
        {"two frames in a quiet room", mix(quietRoom, 0, 2 * kRate, vowel, 1, at), true},
        {"one frame in digital silence", mix({}, 0, 2 * kRate, oneFrame, 1, at), false},
        {"one frame in a quiet room", mix(quietRoom, 0, 2 * kRate, oneFrame, 1, at), false},
    });
}

// Digital silence is what a late microphone or an early end gives, never a quiet frame of
// a sound that goes on: a room's rumble right at that level, steady or swelling, is no
// speech before or after silence (as a 16-bit microphone gives it: its quietest samples
// exact zeros). Neither is a steady sound that a noise gate in the microphone chain cuts
// now and then, nor one that steps to another level and stays there (a fan switching
// speed, a compressor starting). Levels are the sound's root mean square.
TEST(SpeechPresence, ARoomAtTheSilenceLevelAGatedSoundAndALevelStepAreNoSpeech)
{
    const auto sixteenBit = [](std::vector<float> samples) {
        for (float& s : samples) s = std::round(s * 32768.0f) / 32768.0f;
        return samples;
    };
    const std::vector<float> brown = noise("brownnoise", 0), fan = testsupport::roomNoise("brownnoise", 0, 4, "tremolo 0.5 30");
    std::vector<float> hum = noise("sine 120", 0);
    const std::vector<float> hiss = noise("pinknoise", -10), tone = noise("sine 100", 0);
    for (std::size_t i = 0; i < hum.size(); ++i) hum[i] += hiss[i];
    std::vector<Case> cases;
    for (const auto& [name, sound] : {std::pair{"brown noise", brown}, {"a rumble swelling at 0.5 Hz", fan}}) {
        for (const double level : {-76.0, -78.0, -80.0, -82.0, -84.0, -86.0}) {
            const std::vector<float> room(sound.begin(), sound.begin() + 3 * kRate);
            // Digital silence before (0.3, 0.5 or 1 s), after (0.5 s), and on both sides.
            for (const auto& [before, after] : {std::pair{3, 0}, {5, 0}, {10, 0}, {0, 5}, {5, 5}}) {
                cases.push_back({std::string(name) + " at " + std::to_string(int(level)) + " dBFS between " +
                                     std::to_string(before) + " and " + std::to_string(after) + " tenths of a second of digital silence",
                                 sixteenBit(mix({}, 0, room.size() + (before + after) * kRate / 10, room, gain(level), before * kRate / 10)),
                                 false});
            }
        }
    }
    // A noise gate: 0.8 s of the sound and 0.2 s of exact zeros, four times; then 1.5 s at one
    // level and 1.5 s 12 to 15 dB louder or quieter. With and without a late microphone.
    for (const auto& [name, sound, low, high] : {std::tuple{"brown noise", brown, -60.0, -45.0},
                                                 {"a 120 Hz hum over pink noise 10 dB below", hum, -60.0, -45.0},
                                                 {"a 100 Hz tone", tone, -52.0, -40.0}}) {
        for (const std::size_t lead : {std::size_t{0}, kRate / 2}) {
            const std::string late = lead ? " after 0.5 s of digital silence" : "";
            for (const double level : {low, high, -30.0}) {
                std::vector<float> gated = mix(sound, lead, lead + 4 * kRate);
                for (std::size_t i = lead; i < gated.size(); ++i) gated[i] *= (i - lead) % kRate < 8 * kRate / 10 ? gain(level) : 0;
                cases.push_back({name + std::string(" at ") + std::to_string(int(level)) + " dBFS cut by a noise gate" + late, gated, false});
            }
            for (const bool up : {true, false}) {
                // Digital silence after it too where there is some before it: a gate that opened
                // for the sound, fading it in over 50 ms, and closed after it.
                std::vector<float> step = mix(sound, lead, 2 * lead + 3 * kRate);
                for (std::size_t i = lead; i < step.size(); ++i)
                    step[i] *= i - lead < 3 * kRate ? gain((i - lead < 3 * kRate / 2) == up ? low : high) * std::min(1.0, double(i - lead + 1) / (lead ? 800 : 1)) : 0;
                cases.push_back({name + std::string(up ? " stepping up" : " stepping down") + (lead ? " within digital silence" : ""), step, false});
            }
        }
    }
    expectVerdicts(cases);
}

// Short words are speech in several voices, said clearly and 20 dB quieter: in digital
// silence, after a rumble at the silence level and over a hum.
TEST(SpeechPresence, ShortWordsInSeveralVoicesAreSpeech)
{
    const std::vector<float> rumble = noise("brownnoise", -80), hum = noise("sine 120", -55);
    std::vector<Case> cases;
    for (const std::string voice : {"de", "de+f3", "de+m3", "de+klatt2"}) {
        for (const std::string text : {"Ja", "Nein", "Oh", "Alle", "Hallo"}) {
            testsupport::TempDir folder;
            testsupport::speakToWav(text, folder / "word.wav", 16000, voice);
            const std::vector<float> word = testsupport::readWav(folder / "word.wav").samples;
            for (const double gain : {1.0, 0.1}) {
                const std::string name = text + " (" + voice + (gain < 1 ? ", quietly)" : ")");
                cases.push_back({name + " in digital silence", mix({}, 0, 2 * kRate, word, gain, kRate / 2), true});
                cases.push_back({name + " after 2 s of a rumble at -80 dBFS behind digital silence",
                                 mix(rumble, kRate / 2, 3 * kRate + word.size(), word, gain, 5 * kRate / 2), true});
                cases.push_back({name + " over a 120 Hz hum at -55 dBFS", mix(hum, 0, 3 * kRate, word, gain, kRate), true});
            }
        }
    }
    expectVerdicts(cases);
}

// A gate in the microphone chain (a noise gate, a noise suppressor's voice threshold) turns
// the quiet parts of speech into exact zeros, between words and inside them: what it lets
// through is speech at any threshold and hold, clear and 20 dB quieter, in silence and over a
// room. A hum or a tone that swells around the gate's threshold and sets it chattering is none.
TEST(SpeechPresence, SpeechThroughAGateIsSpeechASoundThatSetsItChatteringIsNot)
{
    std::vector<Case> cases;
    // Said quickly too, with no pause long enough for a noise gate held 60 ms to close: the
    // gate opens for the sentence and closes after it, and the room is silence on both sides.
    for (const auto& [voice, wordsPerMinute] : {std::pair{"de", 175}, {"de+klatt2", 175}, {"de+m1", 220}}) {
        for (const std::string text : {"Bitte ruf mich morgen an.", "Kannst du mir die Unterlagen schicken?", "Ich habe die Datei gespeichert."}) {
            testsupport::TempDir folder;
            testsupport::speakToWav(text, folder / "speech.wav", 16000, voice, wordsPerMinute);
            const std::vector<float> sentence = testsupport::readWav(folder / "speech.wav").samples;  // about -21 dBFS
            const std::string name = text + " (" + voice + ", " + std::to_string(wordsPerMinute) + " words a minute)";
            for (const double level : {0.0, -20.0}) {
                const std::vector<float> said = mix({}, 0, sentence.size() + kRate, sentence, gain(level), kRate / 2);
                const std::string at = std::to_string(int(level)) + " dB";
                // Its pauses exact zeros; then a voice threshold 20, 15 and 10 dB below the speech.
                cases.push_back({name + " at " + at + ", its pauses exact zeros", testsupport::throughGate(said, level - 66, 0), true});
                for (const double below : {20.0, 15.0, 10.0})
                    for (const int hold : {20, 50})
                        cases.push_back({name + " at " + at + " through a gate " + std::to_string(int(below)) + " dB below it, held " + std::to_string(hold) + " ms",
                                         testsupport::throughGate(said, level - 21 - below, hold), true});
            }
            // Over a room, through a voice threshold 10 dB above it or a noise gate 8 dB above it.
            for (const auto& [room, level, above, hold] : {std::tuple{"brownnoise", -50.0, 10.0, 50}, {"brownnoise", -40.0, 8.0, 60},
                                                           {"pinknoise", -50.0, 8.0, 60}, {"sine 120", -45.0, 8.0, 60}}) {
                cases.push_back({name + " over " + room + " at " + std::to_string(int(level)) + " dBFS through a gate " + std::to_string(int(above)) + " dB above it",
                                 testsupport::throughGate(mix(noise(room, level), 0, sentence.size() + kRate, sentence, 1, kRate / 2), level + above, hold), true});
            }
        }
    }
    for (const std::string sound : {"sine 120", "sine 100", "sine 440"}) {
        std::vector<float> swelling = noise(sound, 0);  // by 10 dB, once a second
        for (std::size_t i = 0; i < swelling.size(); ++i) swelling[i] *= static_cast<float>(gain(5 * std::sin(2 * M_PI * double(i) / kRate)));
        for (const double level : {-60.0, -45.0, -30.0})
            for (const int hold : {20, 60})
                cases.push_back({sound + " swelling by 10 dB around a gate at " + std::to_string(int(level)) + " dBFS, held " + std::to_string(hold) + " ms",
                                 testsupport::throughGate(mix({}, 0, 4 * kRate, swelling, gain(level)), level, hold), false});
    }
    expectVerdicts(cases);
}

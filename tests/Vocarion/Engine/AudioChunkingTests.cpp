#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "Vocarion/Core/Audio/AudioChunker.h"
#include "Vocarion/Core/Audio/AudioProcessor.h"
#include "Vocarion/Core/Audio/EnergyVAD.h"
#include "support/Speech.h"
#include "support/TempDir.h"

using namespace vocarion;

namespace {

constexpr size_t kRate = 16000;
constexpr size_t kWindow = 480000;

std::vector<float> tone(size_t samples, float amplitude) {
    std::vector<float> out(samples);
    for (size_t i = 0; i < samples; ++i) out[i] = amplitude * std::sin(2.0f * 3.14159265f * 220.0f * i / kRate);
    return out;
}

}  // namespace

TEST(AudioProcessor, PadsShortAudioAndTrimsLongAudioToOneWindow) {
    AudioProcessor processor;
    const std::vector<float> audio = {1, 2, 3, 4, 5};
    EXPECT_EQ(processor.padOrTrim(audio, 0, 8), (std::vector<float>{1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(processor.padOrTrim(audio, 1, 3), (std::vector<float>{2, 3, 4}));
    EXPECT_EQ(processor.padOrTrim(audio, 3, 4), (std::vector<float>{4, 5, 0, 0}));
    EXPECT_EQ(processor.padOrTrim(audio, 9, 2), (std::vector<float>{0, 0}));
    EXPECT_TRUE(processor.padOrTrim({}, 0, 0).empty());
}

TEST(EnergyVAD, MarksLoudFramesAsVoiceAndSilentOnesNot) {
    EnergyVAD vad;
    std::vector<float> audio = tone(kRate, 0.3f);                 // 1 s voice
    audio.resize(audio.size() + kRate / 2, 0.0f);                   // 0.5 s silence
    const auto extra = tone(kRate / 4, 0.3f);                       // 0.25 s voice, partial frame at the end
    audio.insert(audio.end(), extra.begin(), extra.end());
    const auto activity = vad.voiceActivity(audio);
    ASSERT_EQ(activity.size(), 18u);  // 10 + 5 + 2.5 frames
    for (size_t i = 0; i < 10; ++i) EXPECT_TRUE(activity[i]) << i;
    for (size_t i = 10; i < 15; ++i) EXPECT_FALSE(activity[i]) << i;
    EXPECT_TRUE(activity[15]);
    EXPECT_TRUE(activity[17]);
    const auto ranges = vad.activeRanges(audio);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0], (std::pair<size_t, size_t>{0, kRate}));
    EXPECT_EQ(ranges[1], (std::pair<size_t, size_t>{kRate * 3 / 2, audio.size()}));
}

TEST(EnergyVAD, LongestSilencePrefersTheLaterOfTwoEqualRuns) {
    const std::vector<bool> activity = {true, false, false, true, false, false, true, false};
    const auto run = VoiceActivityDetector::longestSilence(activity);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->startFrame, 4u);
    EXPECT_EQ(run->endFrame, 6u);
    EXPECT_FALSE(VoiceActivityDetector::longestSilence({true, true}));
}

TEST(VADAudioChunker, AudioWithoutSilenceIsCutHardAtTheWindow) {
    VADAudioChunker chunker;
    const auto audio = tone(kWindow * 2 + 1000, 0.3f);
    const auto chunks = chunker.chunkAll(audio, kWindow);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0], (AudioChunkRange{0, kWindow}));
    EXPECT_EQ(chunks[1], (AudioChunkRange{kWindow, 2 * kWindow}));
    EXPECT_EQ(chunks[2], (AudioChunkRange{2 * kWindow, audio.size()}));
}

TEST(VADAudioChunker, LeadingSilenceIsNotACutPoint) {
    VADAudioChunker chunker;
    std::vector<float> audio(5 * kRate, 0.0f);  // 5 s silence, then 40 s of voice with a 1 s pause at 20 s
    auto voice = tone(15 * kRate, 0.3f);
    audio.insert(audio.end(), voice.begin(), voice.end());
    audio.resize(audio.size() + kRate, 0.0f);
    voice = tone(25 * kRate, 0.3f);
    audio.insert(audio.end(), voice.begin(), voice.end());
    const auto chunks = chunker.chunkAll(audio, kWindow);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].end, 20 * kRate + kRate / 2);  // the middle of the pause
}

TEST(VADAudioChunker, SpeechJoinedWithSilencesIsCutInTheSilencesLoudQuietOrNoisy) {
    testsupport::TempDir dir;
    const std::vector<std::string> sentences = {
        "Heute scheint die Sonne über dem kleinen Hafen, und die Fischer bringen ihre Netze an Land.",
        "Am Nachmittag treffen wir uns im Garten, trinken Kaffee und reden über die Reise nach Norden.",
        "Die Bibliothek der Stadt öffnet morgen früh um neun Uhr, und der Eintritt ist frei.",
        "Zum Abendessen gibt es Suppe mit frischem Brot, danach gehen alle zeitig schlafen."};
    std::vector<std::vector<float>> spoken;
    for (size_t i = 0; i < sentences.size(); ++i) {
        const auto wav = dir / ("s" + std::to_string(i) + ".wav");
        testsupport::speakToWav(sentences[i], wav);
        spoken.push_back(testsupport::readWav(wav).samples);
    }
    // Sentences with 2 s silences between them, repeated until the audio is 70 s long.
    std::vector<float> clean;
    std::vector<std::pair<size_t, size_t>> silences;
    for (size_t i = 0; clean.size() < 70 * kRate; ++i) {
        const auto& sentence = spoken[i % spoken.size()];
        clean.insert(clean.end(), sentence.begin(), sentence.end());
        silences.emplace_back(clean.size(), clean.size() + 2 * kRate);
        clean.resize(clean.size() + 2 * kRate, 0.0f);
    }
    clean.resize(70 * kRate);
    testsupport::writeWav(dir / "clean.wav", clean, kRate);

    // As a microphone might give it: sox turns the volume down (-30 dB, far below a fixed
    // level of voice), or mixes in a room's steady noise.
    const std::string noise = "sox -n -r 16000 -c 1 -b 16 '" + (dir / "noise.wav").string() +
                              "' synth 70 whitenoise vol 0.05 && ";
    const std::vector<std::pair<std::string, std::string>> microphones = {
        {"loud", "sox '" + (dir / "clean.wav").string() + "' '" + (dir / "loud.wav").string() + "'"},
        {"quiet", "sox '" + (dir / "clean.wav").string() + "' '" + (dir / "quiet.wav").string() + "' vol 0.03"},
        {"noisy", noise + "sox -m '" + (dir / "clean.wav").string() + "' '" + (dir / "noise.wav").string() + "' '" +
                      (dir / "noisy.wav").string() + "'"}};
    for (const auto& [name, command] : microphones) {
        ASSERT_EQ(testsupport::runCommand(command), 0) << command;
        const auto audio = testsupport::readWav(dir / (name + ".wav")).samples;
        ASSERT_EQ(audio.size(), clean.size()) << name;
        const auto chunks = VADAudioChunker().chunkAll(audio, kWindow);
        ASSERT_GE(chunks.size(), 3u) << name;
        EXPECT_EQ(chunks.front().start, 0u);
        EXPECT_EQ(chunks.back().end, audio.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_LE(chunks[i].length(), kWindow);
            EXPECT_GT(chunks[i].length(), 0u);
            if (i + 1 < chunks.size()) {
                EXPECT_EQ(chunks[i].end, chunks[i + 1].start);
                // Every cut lies inside one of the 2 s silences, not in a word.
                const size_t cut = chunks[i].end;
                const bool inSilence = std::any_of(silences.begin(), silences.end(),
                                                   [&](const auto& s) { return cut >= s.first && cut < s.second; });
                EXPECT_TRUE(inSilence) << name << ": cut at " << cut / double(kRate) << " s";
            }
        }
    }
}

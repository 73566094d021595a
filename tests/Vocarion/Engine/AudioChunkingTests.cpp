#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "EngineFixture.h"
#include "Vocarion/Core/Audio/AudioChunker.h"
#include "Vocarion/Core/Audio/EnergyVAD.h"
#include "support/Speech.h"
#include "support/TempDir.h"

using namespace vocarion;

namespace {

constexpr size_t kRate = 16000, kWindow = 480000;

std::vector<float>& append(std::vector<float>& audio, size_t samples, float amplitude) {
    for (size_t i = 0; i < samples; ++i) audio.push_back(amplitude * std::sin(2.0f * 3.14159265f * 220.0f * i / kRate));
    return audio;
}

}  // namespace

TEST(VADAudioChunker, CutsInTheLongestSilenceAfterSpeechOrHardAtTheWindow) {
    const auto run = VoiceActivityDetector::longestSilence({true, false, false, true, false, false, true, false});
    EXPECT_EQ(std::make_pair(run->startFrame, run->endFrame), std::make_pair(size_t(4), size_t(6)));  // the later of two

    std::vector<float> tone;
    append(tone, kWindow * 2 + 1000, 0.3f);
    EXPECT_EQ(VADAudioChunker().chunkAll(tone, kWindow),
              (std::vector<AudioChunkRange>{{0, kWindow}, {kWindow, 2 * kWindow}, {2 * kWindow, tone.size()}}));
    // 5 s of leading silence are no cut point; the 1 s pause after 20 s is.
    std::vector<float> paused(5 * kRate, 0.0f);
    append(paused, 15 * kRate, 0.3f).resize(paused.size() + kRate, 0.0f);
    append(paused, 25 * kRate, 0.3f);
    const auto chunks = VADAudioChunker().chunkAll(paused, kWindow);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].end, 20 * kRate + kRate / 2);
}

TEST(VADAudioChunker, SpeechIsCutInItsSilencesWhetherLoudQuietOrNoisy) {
    testsupport::TempDir dir;
    std::vector<std::pair<size_t, size_t>> silences;
    const auto clean = enginetest::speechWithPauses(70.0, &silences);
    testsupport::writeWav(dir / "clean.wav", clean, kRate);
    // As a microphone might give it: sox turns the volume down (-30 dB, far below a fixed
    // level of voice), or mixes in a room's steady noise.
    const std::string in = "'" + (dir / "clean.wav").string() + "' ", out = "'" + (dir / "out.wav").string() + "'";
    const std::string noise = (dir / "noise.wav").string();
    for (const std::string& command : {"sox " + in + out, "sox " + in + out + " vol 0.03",
                                      "sox -n -r 16000 -c 1 -b 16 '" + noise + "' synth 70 whitenoise vol 0.05 && sox -m " + in + "'" + noise + "' " + out}) {
        SCOPED_TRACE(command);
        ASSERT_EQ(testsupport::runCommand(command), 0);
        const auto audio = testsupport::readWav(dir / "out.wav").samples;
        ASSERT_EQ(audio.size(), clean.size());
        const auto chunks = VADAudioChunker().chunkAll(audio, kWindow);
        ASSERT_GE(chunks.size(), 3u);
        EXPECT_EQ(chunks.front().start, 0u);
        EXPECT_EQ(chunks.back().end, audio.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
            EXPECT_TRUE(chunks[i].length() > 0 && chunks[i].length() <= kWindow);
            if (i + 1 == chunks.size()) continue;
            EXPECT_EQ(chunks[i].end, chunks[i + 1].start);
            // Every cut lies inside one of the 2 s silences, not in a word.
            const size_t cut = chunks[i].end;
            EXPECT_TRUE(std::any_of(silences.begin(), silences.end(), [&](const auto& s) { return cut >= s.first && cut < s.second; }))
                << "cut at " << cut / double(kRate) << " s";
        }
    }
}

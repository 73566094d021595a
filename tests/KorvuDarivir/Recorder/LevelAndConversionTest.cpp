// The parts of the recorder that need no sound server: the level formula, the output
// capacity, the error, and the streaming resampler.
#include <cmath>
#include <numbers>
#include <vector>

#include <gtest/gtest.h>

#include "KorvuDarivir/Dictation/AudioRecorder.h"
#include "Platform/Audio/Resampler.h"

using korvu::AudioRecorder;

namespace {

std::vector<float> sine(double frequency, double rate, std::size_t count, float amplitude) {
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
    return out;
}

double correlation(const std::vector<float>& a, const std::vector<float>& b, std::size_t from, std::size_t to) {
    double dot = 0, ea = 0, eb = 0;
    for (std::size_t i = from; i < to; ++i) {
        dot += double(a[i]) * b[i];
        ea += double(a[i]) * a[i];
        eb += double(b[i]) * b[i];
    }
    return dot / std::sqrt(ea * eb);
}

}  // namespace

TEST(RecorderLevel, FollowsDecibelsBetweenMinusFiftyAndMinusTen) {
    EXPECT_EQ(AudioRecorder::levelOf(std::vector<float>(4096, 0.0f)), 0.0f);
    // A full-scale square wave has rms 1.
    std::vector<float> square(4096);
    for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 8) % 2 ? 1.0f : -1.0f;
    EXPECT_EQ(AudioRecorder::levelOf(square), 1.0f);
    // rms 0.01 is −40 dBFS.
    EXPECT_NEAR(AudioRecorder::levelOf(std::vector<float>(4096, 0.01f)), 0.25f, 1e-5f);
    // −10 dBFS and above saturate, −50 dBFS and below are silence.
    EXPECT_NEAR(AudioRecorder::levelOf(std::vector<float>(100, 0.31623f)), 1.0f, 1e-4f);
    EXPECT_EQ(AudioRecorder::levelOf(std::vector<float>(100, 0.003f)), 0.0f);
    EXPECT_NEAR(AudioRecorder::levelOf(std::vector<float>(100, 0.1f)), 0.75f, 1e-5f);
}

TEST(RecorderLevel, EmptyOrBrokenBuffersGiveZero) {
    EXPECT_EQ(AudioRecorder::levelOf({}), 0.0f);
    std::vector<float> broken(64, 0.5f);
    broken[3] = std::nanf("");
    EXPECT_EQ(AudioRecorder::levelOf(broken), 0.0f);
    std::vector<float> infinite(64, 0.5f);
    infinite[0] = INFINITY;
    EXPECT_EQ(AudioRecorder::levelOf(infinite), 1.0f);
}

TEST(RecorderCapacity, IsTheRatioTimesTheFramesPlusSlack) {
    EXPECT_EQ(AudioRecorder::outputCapacity(48000, 4096), 1397u);
    EXPECT_EQ(AudioRecorder::outputCapacity(16000, 4096), 4128u);
    EXPECT_EQ(AudioRecorder::outputCapacity(44100, 4096), 1518u);
    EXPECT_FALSE(AudioRecorder::outputCapacity(0, 4096).has_value());
    EXPECT_FALSE(AudioRecorder::outputCapacity(1e-300, 4096).has_value());
    EXPECT_FALSE(AudioRecorder::outputCapacity(std::nan(""), 4096).has_value());
}

TEST(RecorderErrorMessage, SaysThatNoMicrophoneWasFound) {
    const korvu::RecorderError error(korvu::RecorderError::Code::noInputDevice);
    EXPECT_STREQ(error.what(), "Kein Mikrofon gefunden.");
    EXPECT_EQ(error.code(), korvu::RecorderError::Code::noInputDevice);
}

TEST(AudioResampler, DownsamplesToAThirdAndKeepsTheSignal) {
    const auto input = sine(440, 48000, 48000, 0.5f);
    platform::Resampler resampler(48000, 16000);
    std::vector<float> out;
    // Uneven blocks, as a capture delivers them.
    for (std::size_t i = 0; i < input.size();) {
        const std::size_t n = std::min<std::size_t>(input.size() - i, 1000 + (i % 3) * 777);
        ASSERT_TRUE(resampler.process(std::span(input).subspan(i, n), out));
        i += n;
    }
    ASSERT_TRUE(resampler.flush(out));
    EXPECT_NEAR(static_cast<double>(out.size()), 16000.0, 2.0);
    const auto expected = sine(440, 16000, out.size(), 0.5f);
    // Away from the edges the output is the same tone, in phase.
    EXPECT_GT(correlation(out, expected, 200, out.size() - 200), 0.999);
}

TEST(AudioResampler, BlockSizesDoNotChangeTheResult) {
    const auto input = sine(1000, 44100, 20000, 0.3f);
    platform::Resampler whole(44100, 16000), pieces(44100, 16000);
    std::vector<float> a, b;
    ASSERT_TRUE(whole.process(input, a));
    ASSERT_TRUE(whole.flush(a));
    for (std::size_t i = 0; i < input.size(); i += 333)
        ASSERT_TRUE(pieces.process(std::span(input).subspan(i, std::min<std::size_t>(333, input.size() - i)), b));
    ASSERT_TRUE(pieces.flush(b));
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1e-5f) << "at " << i;
}

TEST(AudioResampler, EmptyBlocksAreNotTheEndOfTheSignal) {
    const auto input = sine(300, 16000, 8000, 0.5f);
    platform::Resampler resampler(16000, 16000);
    std::vector<float> out;
    ASSERT_TRUE(resampler.process(std::span(input).first(4000), out));
    ASSERT_TRUE(resampler.process({}, out));
    ASSERT_TRUE(resampler.process(std::span(input).subspan(4000), out));
    ASSERT_TRUE(resampler.flush(out));
    EXPECT_EQ(out.size(), input.size());
    EXPECT_FALSE(resampler.process(input, out)) << "a flushed resampler takes no more input";
}

TEST(AudioResampler, RefusesImpossibleRates) {
    EXPECT_THROW(platform::Resampler(0, 16000), std::runtime_error);
    EXPECT_THROW(platform::Resampler(48000, -1), std::runtime_error);
}

// Real recordings through the test session's PulseAudio server: speech made with
// espeak-ng goes in through a pipe source (exact, so sample counts can be checked) or
// is played into the null sink (paced like a real microphone), and what the recorder
// returns is compared with the original.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AudioFeed.h"
#include "KorvuDarivir/Dictation/AudioRecorder.h"
#include "support/QtWait.h"
#include "Platform/Audio/AudioCapture.h"
#include "Platform/Audio/AudioInputs.h"
#include "support/Speech.h"
#include "support/TempDir.h"

using korvu::AudioRecorder;
using recordertest::FifoFeed;
using recordertest::LevelLog;
using recordertest::PulseModule;

namespace {

constexpr std::size_t kBlock = AudioRecorder::kFramesPerBuffer;
const char* const kSentence = "Guten Morgen. Dies ist ein Test der Aufnahme über das virtuelle Mikrofon.";
// Played in real time, so kept short.
const char* const kShortSentence = "Das ist ein kurzer Test.";

std::vector<float> tone(double frequency, double rate, std::size_t count, float amplitude) {
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
    return out;
}

// The recording holds the original speech: the same waveform, as loud, as long.
void expectSameSpeech(const std::vector<float>& reference, const std::vector<float>& samples) {
    const auto match = recordertest::align(reference, samples);
    EXPECT_GT(match.correlation, 0.95) << "at offset " << match.offset << ", gain " << match.gain;
    EXPECT_NEAR(match.gain, 1.0, 0.1) << "the recording is as loud as the original";
    EXPECT_NEAR(static_cast<double>(recordertest::loudSpan(samples)), static_cast<double>(recordertest::loudSpan(reference)),
                0.05 * recordertest::loudSpan(reference));
}

std::vector<float> concat(std::initializer_list<std::vector<float>> parts) {
    std::vector<float> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        fifo = recordertest::sessionFifo();
        ASSERT_FALSE(fifo.empty()) << "run inside scripts/with-test-session.sh";
        recorder.onLevel = [this](float level) { levels.add(level); };
    }

    // A 48 kHz stereo microphone of our own, fed through its own fifo.
    std::string loadMic48(PulseModule*& module, const std::string& name) {
        const std::string path = (dir / (name + ".fifo")).string();
        modules.push_back(std::make_unique<PulseModule>("module-pipe-source source_name=" + name + " file=" + path +
                                                        " format=s16le rate=48000 channels=2"
                                                        " source_properties=device.description=" + name));
        module = modules.back().get();
        return path;
    }

    testsupport::TempDir dir;
    std::vector<std::unique_ptr<PulseModule>> modules;
    std::string fifo;
    LevelLog levels;
    AudioRecorder recorder;
};

}  // namespace

TEST_F(RecorderTest, RecordsSpeechFromA16kHzMicrophone) {
    testsupport::speakToWav(kSentence, dir / "speech16.wav", 16000);
    const auto reference = testsupport::readWav(dir / "speech16.wav").samples;
    const auto payload = recordertest::padded(reference, 4000, 4000, kBlock);

    // The way the dictation records: neither call waits for the sound server, and each
    // answer comes later on the main thread.
    QObject receiver;
    std::optional<std::exception_ptr> started;
    recorder.start(std::nullopt, &receiver, [&](std::exception_ptr error) { started = error; });  // "vmic"
    EXPECT_FALSE(started.has_value()) << "answered within the call";
    ASSERT_TRUE(testsupport::spinUntil([&] { return started.has_value(); }));
    ASSERT_EQ(*started, nullptr);
    FifoFeed feed(fifo, payload, 1);
    ASSERT_TRUE(levels.waitFor(payload.size() / kBlock)) << "only " << levels.count() << " buffers arrived";
    std::optional<std::vector<float>> stopped;
    recorder.stop(&receiver, [&](std::vector<float> taken) { stopped = std::move(taken); });
    EXPECT_FALSE(stopped.has_value()) << "answered within the call";
    ASSERT_TRUE(testsupport::spinUntil([&] { return stopped.has_value(); }));
    const auto& samples = *stopped;
    ASSERT_FALSE(feed.failed());

    EXPECT_NEAR(static_cast<double>(samples.size()), static_cast<double>(payload.size()), 0.05 * payload.size());
    expectSameSpeech(reference, samples);
}

TEST_F(RecorderTest, ConvertsA48kHzStereoMicrophoneTo16kHzMono) {
    PulseModule* module = nullptr;
    const std::string micFifo = loadMic48(module, "korvu_test_mic48");
    ASSERT_TRUE(module->loaded());
    ASSERT_TRUE(recordertest::waitForDevice("korvu_test_mic48", true));
    testsupport::speakToWav(kSentence, dir / "speech48.wav", 48000);
    testsupport::speakToWav(kSentence, dir / "speech16.wav", 16000);
    const auto speech48 = testsupport::readWav(dir / "speech48.wav").samples;
    const auto reference = testsupport::readWav(dir / "speech16.wav").samples;
    const auto payload = recordertest::padded(speech48, 12000, 12000, kBlock);

    recorder.start("korvu_test_mic48");
    FifoFeed feed(micFifo, payload, 2);
    ASSERT_TRUE(levels.waitFor(payload.size() / kBlock)) << "only " << levels.count() << " buffers arrived";
    const auto samples = recorder.stop();
    ASSERT_FALSE(feed.failed());

    // A third as many samples as frames went in.
    EXPECT_NEAR(static_cast<double>(samples.size()), payload.size() / 3.0, 0.05 * payload.size() / 3.0);
    expectSameSpeech(reference, samples);
}

TEST_F(RecorderTest, RecordsA48kHzFilePlayedIntoTheSink) {
    testsupport::speakToWav(kShortSentence, dir / "speech48.wav", 48000);
    testsupport::speakToWav(kShortSentence, dir / "speech16.wav", 16000);
    const auto reference = testsupport::readWav(dir / "speech16.wav").samples;

    // "vmon" runs on the null sink's clock, like a real microphone; its format is float.
    recorder.start("vmon");
    ASSERT_TRUE(levels.waitFor(2)) << "the monitor delivers nothing";
    ASSERT_EQ(testsupport::runCommand("paplay --latency-msec=50 --device=vsink '" + (dir / "speech48.wav").string() + "'"), 0);
    // paplay returns once the sink has played everything; a few more buffers carry the end.
    ASSERT_TRUE(levels.waitFor(levels.count() + 4));
    const auto samples = recorder.stop();

    expectSameSpeech(reference, samples);
    const auto all = levels.levels();
    EXPECT_GT(*std::max_element(all.begin(), all.end()), 0.5f) << "speech is loud";
}

TEST_F(RecorderTest, ReportsTheLevelOfLoudQuietAndSilentInput) {
    const std::size_t segment = 6 * kBlock;
    const auto payload = concat({tone(440, 16000, segment, 0.9f),                       // about −4 dBFS
                                 tone(440, 16000, segment, 0.01f * std::numbers::sqrt2_v<float>),  // rms 0.01, −40 dBFS
                                 std::vector<float>(segment, 0.0f)});

    // The sound server posts silence of its own around the feed in chunks of its own
    // size, so buffers need not line up with the segments: what must hold is that the
    // live path reports a full, then a quarter, then a zero level, in that order.
    const auto isQuiet = [](float level) { return std::fabs(level - 0.25f) < 0.02f; };
    const auto seenInOrder = [&] {
        const auto all = levels.levels();
        const auto loud = std::find(all.begin(), all.end(), 1.0f);
        const auto quiet = std::find_if(loud, all.end(), isQuiet);
        return quiet != all.end() && std::find(quiet, all.end(), 0.0f) != all.end();
    };
    recorder.start(std::nullopt);
    FifoFeed feed(fifo, payload, 1);
    EXPECT_TRUE(recordertest::waitUntil(seenInOrder, 30)) << "levels: " << ::testing::PrintToString(levels.levels());
    recorder.stop();

    for (float level : levels.levels()) {
        EXPECT_GE(level, 0.0f);
        EXPECT_LE(level, 1.0f);
    }
}

TEST_F(RecorderTest, StopKeepsTheSamplesUntilTheNextStart) {
    EXPECT_TRUE(recorder.stop().empty()) << "nothing recorded yet";
    const auto first = tone(300, 16000, 4 * kBlock, 0.5f);
    recorder.start(std::nullopt);
    {
        FifoFeed feed(fifo, first, 1);
        ASSERT_TRUE(levels.waitFor(4));
    }
    const auto once = recorder.stop();
    const auto twice = recorder.stop();
    EXPECT_FALSE(once.empty());
    EXPECT_EQ(once, twice);

    const auto second = tone(300, 16000, 2 * kBlock, 0.5f);
    const std::size_t before = levels.count();
    recorder.start(std::nullopt);
    FifoFeed feed(fifo, second, 1);
    ASSERT_TRUE(levels.waitFor(before + 2));
    const auto next = recorder.stop();
    EXPECT_NEAR(static_cast<double>(next.size()), 2.0 * kBlock, 0.05 * 2 * kBlock) << "the first recording is gone";
}

TEST_F(RecorderTest, StartingWhileRecordingStopsTheFirstRecording) {
    const auto payload = tone(500, 16000, 4 * kBlock, 0.5f);
    recorder.start(std::nullopt);
    recorder.start(std::nullopt);
    FifoFeed feed(fifo, payload, 1);
    ASSERT_TRUE(levels.waitFor(4));
    const auto samples = recorder.stop();
    // Two captures on one source would each append every buffer.
    EXPECT_NEAR(static_cast<double>(samples.size()), static_cast<double>(payload.size()), 0.05 * payload.size());
    EXPECT_LE(levels.count(), 5u);
}

TEST_F(RecorderTest, AnUnknownUidRecordsFromTheDefaultInput) {
    const auto payload = tone(700, 16000, 3 * kBlock, 0.5f);
    recorder.start("AppleHDAEngineInput:1B,0,1,0:1");  // a UID saved on another machine
    FifoFeed feed(fifo, payload, 1);
    ASSERT_TRUE(levels.waitFor(3));
    const auto samples = recorder.stop();
    EXPECT_NEAR(static_cast<double>(samples.size()), static_cast<double>(payload.size()), 0.05 * payload.size());
    EXPECT_GT(AudioRecorder::levelOf(samples), 0.8f);
}

TEST_F(RecorderTest, AnUnpluggedMicrophoneEndsTheRecordingAndKeepsTheSamples) {
    PulseModule* module = nullptr;
    const std::string micFifo = loadMic48(module, "korvu_test_unplug");
    ASSERT_TRUE(module->loaded());
    ASSERT_TRUE(recordertest::waitForDevice("korvu_test_unplug", true));
    const auto payload = tone(440, 48000, 6 * kBlock, 0.5f);

    recorder.start("korvu_test_unplug");
    {
        FifoFeed feed(micFifo, payload, 2);
        ASSERT_TRUE(levels.waitFor(6));
    }
    module->unload();
    ASSERT_TRUE(recordertest::waitForDevice("korvu_test_unplug", false));
    const auto samples = recorder.stop();
    EXPECT_NEAR(static_cast<double>(samples.size()), payload.size() / 3.0, 0.05 * payload.size() / 3.0);
    EXPECT_EQ(recorder.stop(), samples);

    // The recorder is still usable, now from the default input.
    const std::size_t before = levels.count();
    recorder.start("korvu_test_unplug");
    FifoFeed feed(fifo, tone(440, 16000, 2 * kBlock, 0.5f), 1);
    ASSERT_TRUE(levels.waitFor(before + 2));
    EXPECT_NEAR(static_cast<double>(recorder.stop().size()), 2.0 * kBlock, 0.05 * 2 * kBlock);
}

TEST_F(RecorderTest, TheCaptureEndsByItselfWhenItsDeviceGoesAway) {
    PulseModule* module = nullptr;
    loadMic48(module, "korvu_test_gone");
    ASSERT_TRUE(module->loaded());
    ASSERT_TRUE(recordertest::waitForDevice("korvu_test_gone", true));
    const auto input = platform::AudioInputs::choose(std::string("korvu_test_gone"));
    ASSERT_TRUE(input.has_value());
    ASSERT_EQ(input->id, "korvu_test_gone");

    std::atomic<int> finished{0};
    platform::AudioCapture capture;
    capture.start(*input, kBlock, [](std::span<const float>) {}, [&] { ++finished; });
    EXPECT_TRUE(capture.isRunning());
    module->unload();
    EXPECT_TRUE(recordertest::waitUntil([&] { return !capture.isRunning(); }));
    EXPECT_EQ(finished.load(), 1);
    capture.stop();
    EXPECT_EQ(finished.load(), 1) << "the finish handler runs once";
}

TEST_F(RecorderTest, OpeningADeviceThatJustVanishedFailsInsteadOfHanging) {
    PulseModule* module = nullptr;
    loadMic48(module, "korvu_test_stale");
    ASSERT_TRUE(module->loaded());
    ASSERT_TRUE(recordertest::waitForDevice("korvu_test_stale", true));
    const auto input = platform::AudioInputs::choose(std::string("korvu_test_stale"));
    ASSERT_TRUE(input.has_value());
    ASSERT_EQ(input->id, "korvu_test_stale");
    module->unload();  // gone from the server, while the device object is still at hand

    platform::AudioCapture capture;
    EXPECT_THROW(capture.start(*input, kBlock, [](std::span<const float>) {}, [] {}),
                 platform::AudioCaptureError);
    EXPECT_FALSE(capture.isRunning());
    // The recorder, asked for that device, falls back to the default input.
    recorder.start("korvu_test_stale");
    FifoFeed feed(fifo, tone(440, 16000, 2 * kBlock, 0.5f), 1);
    ASSERT_TRUE(levels.waitFor(2));
    EXPECT_NEAR(static_cast<double>(recorder.stop().size()), 2.0 * kBlock, 0.05 * 2 * kBlock);
}

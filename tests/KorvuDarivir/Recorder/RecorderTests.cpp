// The recorder against the test session's PulseAudio server: the device list ("vmic", a
// pipe source and the default, and "vmon", wrapping the null sink's monitor), and real
// recordings of speech made with espeak-ng and of tones, written into pipe sources, which
// deliver exactly what is written, and compared with the original. This program doubles
// as two probes that need a process of their own: "no sound server" (pointed at a server
// that does not exist) and "record and quit" (faults in tearing down the sound
// connections only show when a process exits). The recorder runs under a Qt application
// object, as in the real program.
#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numbers>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "AudioFeed.h"
#include "KorvuDarivir/Dictation/AudioDevices.h"
#include "KorvuDarivir/Dictation/AudioRecorder.h"
#include "Platform/Audio/AudioCapture.h"
#include "Platform/Audio/AudioInputs.h"
#include "Platform/Audio/Resampler.h"
#include "support/QtWait.h"
#include "support/Speech.h"
#include "support/TempDir.h"

using korvu::AudioDevices;
using korvu::AudioRecorder;

namespace {

struct Outcome {
    int status = -1;  // as waitpid gives it: 0 for a clean exit
    std::string output;
};

Outcome runShell(const std::string& command) {
    Outcome run;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return run;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe)) run.output += buffer;
    run.status = ::pclose(pipe);
    return run;
}

// This program as a probe; a hung one is killed after a guard time.
std::string probe(const std::string& name) {
    return "timeout -s KILL 20 /proc/" + std::to_string(::getpid()) + "/exe --" + name + "-probe";
}

// Prints what a user without a sound server meets; exits 0 when that is an empty
// device list, no default name, RecorderError from start() and nothing recorded.
int runNoServerProbe() {
    const auto devices = korvu::AudioDevices::inputDevices();
    const auto defaultName = korvu::AudioDevices::defaultInputName();
    std::printf("devices=%zu default=%s\n", devices.size(), defaultName ? defaultName->c_str() : "<none>");
    korvu::AudioRecorder recorder;
    try {
        recorder.start(std::nullopt);
    } catch (const korvu::RecorderError& error) {
        std::printf("start=RecorderError:%s\n", error.what());
    }
    return devices.empty() && !defaultName && recorder.stop().empty() ? 0 : 1;
}

// Records from the default input and quits at once, with a second start still opening
// the input: the recorder's worker finishes it and closes the input before it goes. A
// fault in the teardown shows as a crash or an abort of this process.
int runRecordAndQuitProbe(QCoreApplication& app) {
    korvu::AudioRecorder recorder;
    recorder.start(std::nullopt);
    recorder.stop();
    std::printf("recorded\n");
    recorder.start(std::nullopt, &app, [](std::exception_ptr) {});
    return 0;
}

constexpr std::size_t kBlock = AudioRecorder::kFramesPerBuffer;
const char* const kSentence = "Guten Morgen. Dies ist ein Test der Aufnahme über das virtuelle Mikrofon.";

std::vector<float> tone(double rate, std::size_t count, float amplitude = 0.5f) {
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = amplitude * static_cast<float>(std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / rate));
    return out;
}

void expectLength(const std::vector<float>& samples, double expected) {
    EXPECT_NEAR(static_cast<double>(samples.size()), expected, 0.05 * expected);
}

class RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(fifo.empty()) << "run inside scripts/with-test-session.sh";
        recorder.onLevel = [this](float level) { levels.add(level); };
    }

    // A 48 kHz stereo microphone of our own; returns the fifo that feeds it.
    std::string plugMic48(const std::string& name) {
        const std::string path = (dir / (name + ".fifo")).string();
        module.emplace("module-pipe-source source_name=" + name + " file=" + path +
                       " format=s16le rate=48000 channels=2 source_properties=device.description=PlugMic");
        EXPECT_TRUE(module->loaded());
        EXPECT_TRUE(recordertest::waitForDevice(name, true));
        return path;
    }

    // Writes `payload` into a pipe source and waits until the recorder took every buffer.
    void feed(const std::vector<float>& payload, const std::string& path, int channels = 1) {
        const std::size_t before = levels.count();
        recordertest::FifoFeed feed(path, payload, channels);
        EXPECT_TRUE(levels.waitFor(before + payload.size() / kBlock)) << "only " << levels.count() - before << " buffers arrived";
    }

    testsupport::TempDir dir;
    std::optional<recordertest::PulseModule> module;
    const std::string fifo = recordertest::sessionFifo();
    recordertest::LevelLog levels;
    AudioRecorder recorder;
};

// The recording holds the original speech: the same waveform, as loud, as long.
void expectSameSpeech(const std::vector<float>& reference, const std::vector<float>& samples) {
    const auto match = recordertest::align(reference, samples);
    EXPECT_GT(match.correlation, 0.95) << "at offset " << match.offset << ", gain " << match.gain;
    EXPECT_NEAR(match.gain, 1.0, 0.1) << "the recording is as loud as the original";
    const auto span = static_cast<double>(recordertest::loudSpan(reference));
    EXPECT_NEAR(static_cast<double>(recordertest::loudSpan(samples)), span, 0.05 * span) << "the speech is as long";
}

}  // namespace

TEST(RecorderLevel, FollowsDecibelsBetweenMinusFiftyAndMinusTen) {
    const struct {
        std::vector<float> samples;
        float level;
    } cases[] = {
        {{}, 0.0f},
        {std::vector<float>(4096, 0.0f), 0.0f},
        {{1.0f, -1.0f, 1.0f, -1.0f}, 1.0f},  // full scale
        {std::vector<float>(100, 0.31623f), 1.0f},  // −10 dBFS saturates
        {std::vector<float>(100, 0.1f), 0.75f},
        {std::vector<float>(4096, 0.01f), 0.25f},  // −40 dBFS
        {std::vector<float>(100, 0.003f), 0.0f},   // below −50 dBFS is silence
        {{0.5f, 0.5f, std::nanf(""), 0.5f}, 0.0f},  // a broken buffer is no level
        {{INFINITY, 0.5f}, 1.0f},
    };
    for (const auto& c : cases) EXPECT_NEAR(AudioRecorder::levelOf(c.samples), c.level, 1e-4f) << "case " << &c - cases;
}

// Captures deliver blocks of any size, empty ones included: the output is the same as
// for one whole block, the same tone in phase, and a flushed resampler takes no more.
TEST(AudioResampler, ConvertsUnevenBlocksLikeOneWholeBlock) {
    const auto input = tone(48000, 48000);
    platform::Resampler whole(48000, 16000), pieces(48000, 16000);
    std::vector<float> a, b;
    ASSERT_TRUE(whole.process(input, a));
    ASSERT_TRUE(whole.flush(a));
    const std::size_t sizes[] = {1000, 0, 1777, 333, 0, 2554};
    for (std::size_t i = 0, k = 0; i < input.size(); i += sizes[k++ % 6])
        ASSERT_TRUE(pieces.process(std::span(input).subspan(i, std::min(input.size() - i, sizes[k % 6])), b));
    ASSERT_TRUE(pieces.flush(b));
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1e-5f) << "at " << i;
    EXPECT_NEAR(static_cast<double>(b.size()), 16000.0, 2.0);
    const auto expected = tone(16000, b.size());
    double dot = 0, eb = 0, ee = 0;
    for (std::size_t i = 200; i + 200 < b.size(); ++i) dot += double(b[i]) * expected[i], eb += double(b[i]) * b[i], ee += double(expected[i]) * expected[i];
    EXPECT_GT(dot / std::sqrt(eb * ee), 0.999);
    EXPECT_FALSE(pieces.process(input, b)) << "a flushed resampler takes no more input";
    EXPECT_THROW(platform::Resampler(0, 16000), std::runtime_error);
    EXPECT_THROW(platform::Resampler(48000, -1), std::runtime_error);
}

TEST(AudioDevices, ListsTheSessionsMicrophonesAndFollowsTheDefault) {
    ASSERT_FALSE(recordertest::sessionFifo().empty()) << "run inside scripts/with-test-session.sh";
    const auto devices = AudioDevices::inputDevices();
    const auto named = [&](const std::string& id) {
        const auto it = std::ranges::find(devices, id, &korvu::AudioInputDevice::id);
        return it == devices.end() ? std::string("<absent>") : it->name;
    };
    ASSERT_EQ(named("vmic"), "VirtualMic");
    EXPECT_EQ(named("vmon"), "VirtualFromSink");
    // The sink has no input and is never listed, nor is its bare monitor.
    EXPECT_EQ(named("vsink"), "<absent>");
    EXPECT_EQ(named("vsink.monitor"), "<absent>");
    std::set<uint32_t> ids;
    for (const auto& device : devices) ids.insert(device.deviceID);
    EXPECT_EQ(ids.size(), devices.size()) << "device ids are unique within one listing";
    EXPECT_EQ(AudioDevices::deviceID("vmic"), std::ranges::find(devices, "vmic", &korvu::AudioInputDevice::id)->deviceID);
    for (const char* other : {"VMIC", "vmic ", "", "BuiltInMicrophoneDevice"}) EXPECT_FALSE(AudioDevices::deviceID(other)) << other;

    EXPECT_EQ(AudioDevices::defaultInputName(), "VirtualMic");
    ASSERT_EQ(std::system("pactl set-default-source vmon"), 0);
    EXPECT_EQ(AudioDevices::defaultInputName(), "VirtualFromSink");
    ASSERT_EQ(std::system("pactl set-default-source vmic"), 0);
}

TEST(AudioDevices, WithoutASoundServerTheListIsEmptyAndStartGivesRecorderError) {
    testsupport::TempDir dir;
    std::ofstream(dir / "client.conf") << "autospawn = no\n";
    // Pointed at a socket that does not exist, so that it cannot disturb the session's server.
    const auto run = runShell("PULSE_SERVER=unix:" + (dir / "no-such-server").string() +
                              " PULSE_CLIENTCONFIG=" + (dir / "client.conf").string() + " " + probe("no-server"));
    EXPECT_TRUE(run.status == 0) << run.output;
    EXPECT_NE(run.output.find("devices=0 default=<none>"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("start=RecorderError:Kein Mikrofon gefunden."), std::string::npos) << run.output;
}

// A dictation application is often closed right after a recording, while the sound
// server still sends news about it; a connection closed in the wrong order or on the
// wrong thread then aborts the process at exit, but only now and then. Before the
// teardown was put in order about one exit in fifty aborted; 240 exits, four at a time
// (which also varies the timing), find that with near certainty.
TEST(AudioDevices, AnApplicationThatQuitsRightAfterRecordingExitsCleanly) {
    ASSERT_FALSE(recordertest::sessionFifo().empty()) << "run inside scripts/with-test-session.sh";
    const auto run = runShell("seq 240 | xargs -P 4 -I{} sh -c 'out=$(" + probe("record-and-quit") + " 2>&1); s=$?; "
                              "case \"$s:$out\" in 0:*recorded*) exit 0;; esac; echo \"run {}: exit status $s\"; echo \"$out\"; exit 255'");
    EXPECT_TRUE(run.status == 0) << "(134: aborted, 139: crashed, 137: hung and killed)\n" << run.output;
}


// From the session's 16 kHz mono microphone and from a 48 kHz stereo one, converted to
// 16 kHz mono, the way the dictation records: neither call waits for the sound server,
// and each answer comes later on the main thread.
TEST_F(RecorderTest, RecordsSpeechAt16And48kHz) {
    testsupport::speakToWav(kSentence, dir / "speech16.wav", 16000);
    const auto reference = testsupport::readWav(dir / "speech16.wav").samples;
    for (const int rate : {16000, 48000}) {
        SCOPED_TRACE(rate);
        const std::string feedFifo = rate == 16000 ? fifo : plugMic48("korvu_test_mic48");
        testsupport::speakToWav(kSentence, dir / "speech.wav", rate);
        const auto payload = recordertest::padded(testsupport::readWav(dir / "speech.wav").samples, rate / 4, rate / 4, kBlock);

        QObject receiver;
        std::optional<std::exception_ptr> started;
        recorder.start(rate == 16000 ? std::nullopt : std::optional<std::string>("korvu_test_mic48"), &receiver,
                       [&](std::exception_ptr error) { started = error; });
        EXPECT_FALSE(started.has_value()) << "answered within the call";
        ASSERT_TRUE(testsupport::spinUntil([&] { return started.has_value(); }));
        ASSERT_EQ(*started, nullptr);
        feed(payload, feedFifo, rate == 16000 ? 1 : 2);
        std::optional<std::vector<float>> stopped;
        recorder.stop(&receiver, [&](std::vector<float> taken) { stopped = std::move(taken); });
        EXPECT_FALSE(stopped.has_value()) << "answered within the call";
        ASSERT_TRUE(testsupport::spinUntil([&] { return stopped.has_value(); }));
        expectLength(*stopped, payload.size() * 16000.0 / rate);
        expectSameSpeech(reference, *stopped);
    }
}

// A second start ends the first recording (two captures on one source would each append
// every buffer), a UID saved on another machine falls back to the default input, the
// live levels follow the input, and stop keeps the samples until the next start.
TEST_F(RecorderTest, StartsAgainReportsLevelsAndKeepsTheSamplesUntilTheNextStart) {
    const std::size_t segment = 6 * kBlock;
    auto payload = tone(16000, segment, 0.9f);                                      // about −4 dBFS
    const auto quiet = tone(16000, segment, 0.01f * std::numbers::sqrt2_v<float>);  // rms 0.01, −40 dBFS
    payload.insert(payload.end(), quiet.begin(), quiet.end());
    payload.resize(payload.size() + segment, 0.0f);
    // The sound server may post silence of its own around the feed in chunks of its own
    // size, so buffers need not line up with the segments: what must hold is that the
    // live path reports a full, then a quarter, then a zero level, in that order.
    const auto seenInOrder = [&] {
        const auto all = levels.levels();
        const auto loud = std::find(all.begin(), all.end(), 1.0f);
        const auto quarter = std::find_if(loud, all.end(), [](float level) { return std::fabs(level - 0.25f) < 0.02f; });
        return quarter != all.end() && std::find(quarter, all.end(), 0.0f) != all.end();
    };

    EXPECT_TRUE(recorder.stop().empty()) << "nothing recorded yet";
    recorder.start(std::nullopt);
    recorder.start("AppleHDAEngineInput:1B,0,1,0:1");
    feed(payload, fifo);
    EXPECT_TRUE(testsupport::spinUntil(seenInOrder)) << "levels: " << ::testing::PrintToString(levels.levels());
    const auto once = recorder.stop();
    expectLength(once, static_cast<double>(payload.size()));
    EXPECT_EQ(recorder.stop(), once);
    for (float level : levels.levels()) EXPECT_TRUE(level >= 0.0f && level <= 1.0f) << level;

    recorder.start(std::nullopt);
    feed(tone(16000, 2 * kBlock), fifo);
    expectLength(recorder.stop(), 2.0 * kBlock);  // the first recording is gone
}

// A microphone unplugged while recording ends the capture by itself and the recording
// keeps its samples; opening the device object that just vanished fails instead of
// hanging, and the recorder, asked for it again, records from the default input.
TEST_F(RecorderTest, AnUnpluggedMicrophoneEndsTheRecordingAndKeepsTheSamples) {
    const std::string micFifo = plugMic48("korvu_test_unplug");
    const auto devices = korvu::AudioDevices::inputDevices();
    EXPECT_TRUE(std::ranges::any_of(devices, [](const auto& d) { return d.id == "korvu_test_unplug" && d.name == "PlugMic"; }));
    const auto input = platform::AudioInputs::choose(std::string("korvu_test_unplug"));
    ASSERT_TRUE(input && input->id == "korvu_test_unplug");
    std::atomic<int> finished{0};
    platform::AudioCapture capture;
    capture.start(*input, kBlock, [](std::span<const float>) {}, [&] { ++finished; });

    recorder.start("korvu_test_unplug");
    feed(tone(48000, 6 * kBlock), micFifo, 2);
    module->unload();
    ASSERT_TRUE(recordertest::waitForDevice("korvu_test_unplug", false));
    EXPECT_TRUE(testsupport::spinUntil([&] { return !capture.isRunning() && finished == 1; }));
    const auto samples = recorder.stop();
    expectLength(samples, 2.0 * kBlock);
    EXPECT_EQ(recorder.stop(), samples);
    capture.stop();
    EXPECT_EQ(finished.load(), 1) << "the finish handler runs once";

    platform::AudioCapture stale;
    EXPECT_THROW(stale.start(*input, kBlock, [](std::span<const float>) {}, [] {}), platform::AudioCaptureError);
    EXPECT_FALSE(stale.isRunning());
    recorder.start("korvu_test_unplug");
    feed(tone(16000, 2 * kBlock), fifo);
    expectLength(recorder.stop(), 2.0 * kBlock);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--no-server-probe") == 0) return runNoServerProbe();
    if (argc > 1 && std::strcmp(argv[1], "--record-and-quit-probe") == 0) return runRecordAndQuitProbe(app);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

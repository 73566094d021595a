#pragma once

// What the recorder tests need around the sound server: writing audio into a pipe
// source, loading test sources, waiting for level callbacks, and comparing a recording
// with the audio that was played.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace recordertest {

// Writes mono float samples as s16le into a PulseAudio pipe source's fifo on a thread of
// its own, each sample repeated for every channel. A pipe source delivers exactly what
// is written and nothing when no one writes, so a test knows precisely what arrives.
class FifoFeed {
public:
    FifoFeed(std::string fifoPath, std::vector<float> samples, int channels);
    ~FifoFeed();
    FifoFeed(const FifoFeed&) = delete;
    FifoFeed& operator=(const FifoFeed&) = delete;

    bool failed() const { return failed_.load(); }

private:
    void run();

    std::string path_;
    std::vector<float> samples_;
    int channels_;
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

// A module loaded into the session's sound server for one test, unloaded at the end.
class PulseModule {
public:
    explicit PulseModule(const std::string& arguments);
    ~PulseModule();
    PulseModule(const PulseModule&) = delete;
    PulseModule& operator=(const PulseModule&) = delete;

    bool loaded() const { return index_.has_value(); }
    // Unloads it now (simulates unplugging the device).
    void unload();

private:
    std::optional<int> index_;
};

// Collects the recorder's level callbacks from the capture thread.
class LevelLog {
public:
    void add(float level);
    std::vector<float> levels();
    std::size_t count();
    // Waits (keeping the Qt event loop of this thread running) until at least `count`
    // levels arrived; false if that takes longer than a generous guard time, which only
    // a broken pipeline reaches.
    bool waitFor(std::size_t count, int guardSeconds = 30);

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<float> levels_;
};

// Waits, keeping this thread's Qt event loop running, until the condition holds; false
// after the guard time, which only a broken pipeline reaches.
bool waitUntil(const std::function<bool()>& condition, int guardSeconds = 15);

// Waits until the device list has (or lacks) this id.
bool waitForDevice(const std::string& id, bool present, int guardSeconds = 15);

// Silence of the given length followed by the samples and more silence, the whole padded
// with zeros to a multiple of `multiple`.
std::vector<float> padded(const std::vector<float>& samples, std::size_t lead, std::size_t tail, std::size_t multiple);

struct Alignment {
    long offset = 0;         // where the reference starts in the recording
    double correlation = 0;  // normalised cross-correlation at that offset
    double gain = 0;         // least-squares gain from the reference to the recording there
};

// Finds the reference inside the recording: a coarse guess from the first loud sample
// of each, refined by the best normalised cross-correlation nearby.
Alignment align(const std::vector<float>& reference, const std::vector<float>& recording, long searchRadius = 800);

// The number of samples between the first and the last sample louder than the threshold.
std::size_t loudSpan(const std::vector<float>& samples, float threshold = 0.02f);

std::string sessionFifo();  // the virtual microphone's fifo of the test session

}  // namespace recordertest

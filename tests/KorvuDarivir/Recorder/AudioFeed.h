#pragma once

// What the recorder tests (and the dictation road) need around the sound server: writing
// audio into a pipe source, loading test sources, collecting level callbacks, and
// comparing a recording with the audio that was played.

#include <atomic>
#include <cstddef>
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
    FifoFeed(const std::string& fifoPath, const std::vector<float>& samples, int channels);
    ~FifoFeed() { thread_.join(); }  // waits until everything is written
    bool failed() const { return failed_; }

private:
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
    void unload();  // now: the device is unplugged

private:
    std::optional<int> index_;
};

// Collects the recorder's level callbacks from the capture thread.
class LevelLog {
public:
    void add(float level) { std::scoped_lock lock(mutex_); levels_.push_back(level); }
    std::vector<float> levels() { std::scoped_lock lock(mutex_); return levels_; }
    std::size_t count() { return levels().size(); }
    // Waits, keeping this thread's Qt event loop running, until at least `count` levels
    // arrived; false only after a guard time that only a broken pipeline reaches.
    bool waitFor(std::size_t count);

private:
    std::mutex mutex_;
    std::vector<float> levels_;
};

// Waits until the device list has (or lacks) this id.
bool waitForDevice(const std::string& id, bool present);

// Silence of `lead` samples, the samples and `tail` more silence, padded with zeros to a
// multiple of `multiple` (which is positive).
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

#pragma once

#include "KorvuDarivir/Dictation/Recorder.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class AudioCapture;
class Resampler;
}  // namespace platform

namespace korvu {

// The recorder's own error: there is no microphone to record from.
class RecorderError : public std::exception {
public:
    enum class Code { noInputDevice };

    explicit RecorderError(Code code = Code::noInputDevice) : code_(code) {}
    Code code() const { return code_; }
    const char* what() const noexcept override { return "Kein Mikrofon gefunden."; }

private:
    Code code_;
};

// Records one dictation from a microphone as 16 kHz mono float samples.
//
// Opening and closing a PulseAudio stream talks to the sound server and can take seconds,
// so every start and stop runs on the recorder's own worker thread, one after another in
// the order they were asked for; the asynchronous calls hand their outcome back as queued
// calls on the main thread. The capture, the conversion, the appending of samples and the
// onLevel call run on the capture thread of the platform layer; the samples are shared
// under a lock, and the converter is used by the capture thread alone (the worker creates
// it before the capture starts and destroys it after the capture has ended).
class AudioRecorder final : public Recorder {
public:
    static constexpr double kTargetRate = 16000.0;
    static constexpr uint32_t kFramesPerBuffer = 4096;

    AudioRecorder();
    // Ends a running recording and joins the worker: no buffer and no completion arrives
    // once the recorder is gone.
    ~AudioRecorder() override;
    AudioRecorder(const AudioRecorder&) = delete;
    AudioRecorder& operator=(const AudioRecorder&) = delete;

    void start(const std::optional<std::string>& deviceUID, QPointer<QObject> receiver,
               StartCompletion done) override;
    void stop(QPointer<QObject> receiver, StopCompletion done) override;

    // The same, waiting for the outcome: for worker threads and tests, never the main
    // thread of the application.
    //
    // Begins a recording from the input with this UID, or from the default input when the
    // UID is empty, unknown or stale. A recording still running is stopped first.
    // Throws RecorderError when there is no usable input, and platform::AudioCaptureError
    // (unchanged) when the input cannot be started.
    void start(const std::optional<std::string>& deviceUID);

    // Ends the recording and returns the samples gathered since the last start. They stay
    // held until the next start, so calling it again returns them again. When the device
    // went away during the recording, the recording has already ended, and the samples
    // gathered until then are returned.
    std::vector<float> stop();

    // The input level of one buffer: (20·log10(max(rms, 1e-6)) + 50) / 40, clamped to
    // 0...1, with 0 for an empty buffer or one that is not a number. −50 dBFS and below
    // give 0, −10 dBFS and above give 1.
    static float levelOf(std::span<const float> samples);

    // Frames to provide for converting `frames` input frames at `inputRate` to 16 kHz:
    // the whole part of ratio × frames plus 32 frames of slack. Empty when that is not a
    // finite number fitting an unsigned 32-bit frame count.
    static std::optional<uint32_t> outputCapacity(double inputRate, double frames);

private:
    void startNow(const std::optional<std::string>& deviceUID);  // worker thread
    std::vector<float> stopNow();                                // worker thread
    void process(std::span<const float> frames);                 // capture thread
    void finish();                                               // capture thread

    // Runs `job` on the worker after the jobs before it.
    void enqueue(std::function<void()> job);
    void work();

    std::mutex jobsLock_;
    std::condition_variable jobsChanged_;
    std::deque<std::function<void()>> jobs_;
    bool quitting_ = false;

    std::unique_ptr<platform::AudioCapture> engine_;
    std::unique_ptr<platform::Resampler> converter_;
    std::vector<float> samples_;
    std::mutex lock_;
    // Last, so that it starts after every member it uses is made.
    std::thread worker_;
};

}  // namespace korvu

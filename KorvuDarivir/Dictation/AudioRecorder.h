#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
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
// start() and stop() are called on the owner's thread. The capture, the conversion,
// the appending of samples and the onLevel call all run on the capture thread of the
// platform layer; the samples are shared under a lock, and the converter is used by the
// capture thread alone (the owner creates it before the capture starts and destroys it
// after the capture has ended).
class AudioRecorder {
public:
    static constexpr double kTargetRate = 16000.0;
    static constexpr uint32_t kFramesPerBuffer = 4096;

    // Called once per converted buffer, on the capture thread, with the level in 0...1.
    // Set by the owner before the first start; the recorder never changes it.
    std::function<void(float)> onLevel;

    AudioRecorder();
    ~AudioRecorder();
    AudioRecorder(const AudioRecorder&) = delete;
    AudioRecorder& operator=(const AudioRecorder&) = delete;

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
    void process(std::span<const float> frames);  // capture thread
    void finish();                                // capture thread

    std::unique_ptr<platform::AudioCapture> engine_;
    std::unique_ptr<platform::Resampler> converter_;
    std::vector<float> samples_;
    std::mutex lock_;
};

}  // namespace korvu

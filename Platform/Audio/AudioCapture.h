#pragma once

#include "Platform/Audio/AudioInputs.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace platform {

// The input could not be opened or started; what() says so in the user's words.
class AudioCaptureError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Records one input device on a thread of its own: a PulseAudio record stream on a
// connection and event loop that belong to this capture alone. The device is opened at
// its own rate and channel count as 32-bit float; the channels are averaged, and the
// mono frames are handed over in blocks of a fixed size. Main-thread stalls therefore
// never drop audio, and the handlers never run at the same time as each other.
//
// The capture ends when the owner calls stop() or when the device goes away (unplugged,
// source unloaded, server gone); either way the last, partial block is handed over and
// then the finish handler runs, exactly once, on the capture thread.
class AudioCapture {
public:
    // Called on the capture thread with `framesPerBlock` mono frames at the device's rate
    // (fewer for the last block of a capture).
    using BlockHandler = std::function<void(std::span<const float> frames)>;
    // Called on the capture thread once, after the last block.
    using FinishHandler = std::function<void()>;

    AudioCapture();
    ~AudioCapture();  // stops a running capture
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;

    // Opens the device and starts capturing; returns once the stream runs. Throws
    // AudioCaptureError when the device cannot be opened (also when the server no longer
    // has it); nothing runs then. Must not be called while running.
    void start(const AudioInputs::Input& device, std::size_t framesPerBlock, BlockHandler onBlock, FinishHandler onFinish);

    // Ends the capture, waits until the finish handler has returned and closes the
    // connection and its thread. After stop() no handler runs any more. Harmless when not
    // running. Never call it from a handler.
    void stop();

    // True from a successful start until the capture has finished (stopped or device gone).
    bool isRunning() const { return running_.load(); }

private:
    struct Session;
    std::unique_ptr<Session> session_;
    std::atomic<bool> running_{false};
};

}  // namespace platform

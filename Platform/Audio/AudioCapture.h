#pragma once

#include <QAudioDevice>
#include <QAudioFormat>
#include <QThread>

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

// Records one input device on a thread of its own. The device is opened in its own
// preferred format; every sample is turned into float and the channels are averaged,
// and the mono frames are handed over in blocks of a fixed size. Main-thread stalls
// therefore never drop audio, and everything the handlers touch stays on one thread.
//
// The capture ends when the owner calls stop() or when the device goes away (unplugged,
// source unloaded); either way the last, partial block is handed over and then the
// finish handler runs, exactly once, on the capture thread.
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

    // The format a device is opened in: its preferred one (Int16 when Qt names none).
    static QAudioFormat captureFormat(const QAudioDevice& device);

    // Opens the device and starts capturing. Throws AudioCaptureError when the device
    // cannot be opened; nothing runs then. Must not be called while running.
    void start(const QAudioDevice& device, std::size_t framesPerBlock, BlockHandler onBlock, FinishHandler onFinish);

    // Ends the capture and waits until the finish handler has returned. After stop()
    // no handler runs any more. Harmless when not running. Never call it from a handler.
    void stop();

    // True from a successful start until the capture has finished (stopped or device gone).
    bool isRunning() const { return running_.load(); }

private:
    struct Session;
    QThread thread_;
    std::unique_ptr<Session> session_;
    std::atomic<bool> running_{false};
};

}  // namespace platform

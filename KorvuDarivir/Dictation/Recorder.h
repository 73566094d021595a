#pragma once

#include <QObject>
#include <QPointer>

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace korvu {

// What the dictation needs of a microphone recorder. `AudioRecorder` is the desktop's
// (PulseAudio); tests give a fake (tests/fakes/FakeRecorder.h).
//
// Both calls return at once: opening and closing a sound-server stream may take seconds,
// so the work runs elsewhere and the completion comes back as a queued call on the main
// thread, never from within the call, and not at all when `receiver` is gone by then.
// Calls are handled in the order they were made: a stop made while a start is still
// opening the input waits for that start.
class Recorder {
public:
    // Null on success; otherwise RecorderError (no usable input) or the sound server's
    // own error (platform::AudioCaptureError), unchanged.
    using StartCompletion = std::function<void(std::exception_ptr error)>;
    // The samples gathered since the last start (16 kHz mono).
    using StopCompletion = std::function<void(std::vector<float> samples)>;

    virtual ~Recorder() = default;

    // Called once per converted buffer, on the capture thread, with the level in 0...1.
    // Set by the owner before the first start; the recorder never changes it.
    std::function<void(float)> onLevel;

    // Begins a recording from the input with this UID, or from the default input when the
    // UID is empty, unknown or stale.
    virtual void start(const std::optional<std::string>& deviceUID, QPointer<QObject> receiver,
                       StartCompletion done) = 0;
    // Ends the recording; `done` gets the samples (an empty completion just discards them).
    virtual void stop(QPointer<QObject> receiver, StopCompletion done) = 0;
};

}  // namespace korvu

#pragma once

#include "KorvuDarivir/Dictation/Recorder.h"
#include "Platform/Async/MainThread.h"

#include <deque>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fakes {

// A recorder without a sound server. Completions come as queued calls, as the real one's
// do; with `holdStarts` a start waits until the test calls `finishStart()` (a sound server
// that is slow to open the input).
class FakeRecorder final : public korvu::Recorder {
public:
    std::exception_ptr startError;  // what the next starts fail with; null: they succeed
    std::vector<float> samples;     // what the next stop returns
    bool holdStarts = false;

    std::vector<std::optional<std::string>> startedWith;
    int stops = 0;
    bool recording = false;

    void start(const std::optional<std::string>& deviceUID, QPointer<QObject> receiver, StartCompletion done) override
    {
        startedWith.push_back(deviceUID);
        auto finish = [this, receiver, done = std::move(done), error = startError] {
            recording = error == nullptr;
            if (done) platform::deliver(receiver, [done, error] { done(error); });
        };
        if (holdStarts) heldStarts_.push_back(std::move(finish));
        else finish();
    }

    // Calls are handled in order: a stop after a held start waits for it.
    void stop(QPointer<QObject> receiver, StopCompletion done) override
    {
        auto finish = [this, receiver, done = std::move(done)] {
            ++stops;
            recording = false;
            if (done) platform::deliver(receiver, [done, taken = samples] { done(taken); });
        };
        if (heldStarts_.empty()) finish();
        else heldStops_.push_back(std::move(finish));
    }

    // Lets the oldest held start complete, and after the last one the stops queued behind it.
    void finishStart()
    {
        if (heldStarts_.empty()) return;
        auto next = std::move(heldStarts_.front());
        heldStarts_.pop_front();
        next();
        if (heldStarts_.empty()) {
            for (auto& stop : std::exchange(heldStops_, {})) stop();
        }
    }

    // Reports a level as the capture thread would.
    void level(float value)
    {
        if (onLevel) onLevel(value);
    }

private:
    std::deque<std::function<void()>> heldStarts_;
    std::vector<std::function<void()>> heldStops_;
};

}  // namespace fakes

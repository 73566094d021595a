#pragma once

#include "KorvuDarivir/Dictation/Recorder.h"
#include "Platform/Async/MainThread.h"

#include <deque>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace fakes {

// A recorder without a sound server. Completions come as queued calls, as the real one's
// do; with `holdStarts` a start waits until the test calls `finishStart()` (a sound server
// that is slow to open the input).
class FakeRecorder final : public korvu::Recorder {
public:
    // What the next starts fail with; null: they succeed.
    std::exception_ptr startError;
    // What the next stop returns.
    std::vector<float> samples;
    bool holdStarts = false;

    std::vector<std::optional<std::string>> startedWith;
    int stops = 0;
    bool recording = false;

    void start(const std::optional<std::string>& deviceUID, QPointer<QObject> receiver, StartCompletion done) override
    {
        startedWith.push_back(deviceUID);
        auto finish = [this, receiver, done = std::move(done), error = startError] {
            recording = error == nullptr;
            platform::deliver(receiver, [done, error] {
                if (done) done(error);
            });
        };
        if (holdStarts) {
            heldStarts_.push_back(std::move(finish));
        } else {
            finish();
        }
    }

    void stop(QPointer<QObject> receiver, StopCompletion done) override
    {
        // Calls are handled in order: a stop after a held start waits for it.
        auto finish = [this, receiver, done = std::move(done)] {
            ++stops;
            recording = false;
            if (!done) return;
            platform::deliver(receiver, [done, taken = samples] { done(taken); });
        };
        if (!heldStarts_.empty()) {
            heldStops_.push_back(std::move(finish));
        } else {
            finish();
        }
    }

    // Lets the oldest held start (and the stops queued behind it) complete.
    void finishStart()
    {
        if (heldStarts_.empty()) return;
        auto next = std::move(heldStarts_.front());
        heldStarts_.pop_front();
        next();
        if (heldStarts_.empty()) {
            auto stops = std::move(heldStops_);
            heldStops_.clear();
            for (auto& stop : stops) stop();
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

#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <utility>

#include <QObject>

namespace platform {

// A handle on one scheduled callback. Cancelling it (or destroying it, or assigning a new
// token over it) guarantees that the callback never runs again, even when its time has
// already come in the current turn of the event loop. Owners keep their tokens as members,
// so a callback that captures `this` can never outlive its owner.
class SchedulerToken {
public:
    SchedulerToken() = default;
    SchedulerToken(std::shared_ptr<bool> active, std::function<void()> stop)
        : active_(std::move(active)), stop_(std::move(stop)) {}
    SchedulerToken(const SchedulerToken&) = delete;
    SchedulerToken& operator=(const SchedulerToken&) = delete;
    SchedulerToken(SchedulerToken&& other) noexcept
        : active_(std::move(other.active_)), stop_(std::exchange(other.stop_, nullptr)) {}
    SchedulerToken& operator=(SchedulerToken&& other) noexcept
    {
        if (this != &other) {
            cancel();
            active_ = std::move(other.active_);
            stop_ = std::exchange(other.stop_, nullptr);
        }
        return *this;
    }
    ~SchedulerToken() { cancel(); }

    void cancel()
    {
        if (active_) {
            *active_ = false;
        }
        if (stop_) {
            std::function<void()> stop = std::move(stop_);
            stop_ = nullptr;
            stop();
        }
        active_.reset();
    }

    // True while the callback may still run: a one-shot that has not fired, or a repeating
    // callback that has not been cancelled.
    bool isActive() const { return active_ && *active_; }

private:
    std::shared_ptr<bool> active_;
    std::function<void()> stop_;
};

// Delayed and repeating callbacks on the thread that owns the scheduler (the main thread).
// Production code uses `QtScheduler`; tests use `fakes::FakeScheduler` (tests/fakes/), whose
// clock moves only when the test advances it.
class Scheduler {
public:
    virtual ~Scheduler() = default;

    // Runs `callback` once, `delay` from now.
    [[nodiscard]] virtual SchedulerToken schedule(std::chrono::milliseconds delay,
                                                  std::function<void()> callback) = 0;
    // Runs `callback` every `interval` (at least 1 ms) until the token is cancelled.
    [[nodiscard]] virtual SchedulerToken repeat(std::chrono::milliseconds interval,
                                                std::function<void()> callback) = 0;
    // A monotonic clock in step with the callbacks, so that an animation can place itself
    // by the time that passed rather than by ticks that a busy machine delivers late.
    virtual std::chrono::milliseconds now() const = 0;
};

// The scheduler over QTimer. Its timers die with it; tokens that outlive it are harmless.
class QtScheduler final : public Scheduler {
public:
    QtScheduler();
    ~QtScheduler() override;

    SchedulerToken schedule(std::chrono::milliseconds delay, std::function<void()> callback) override;
    SchedulerToken repeat(std::chrono::milliseconds interval, std::function<void()> callback) override;
    std::chrono::milliseconds now() const override;

private:
    SchedulerToken start(std::chrono::milliseconds interval, bool repeating, std::function<void()> callback);

    std::unique_ptr<QObject> timers_;  // parent of every live timer
};

}  // namespace platform

#include "Platform/UI/Scheduler.h"

#include <algorithm>

#include <QPointer>
#include <QTimer>

namespace platform {

QtScheduler::QtScheduler() : timers_(std::make_unique<QObject>()) {}

QtScheduler::~QtScheduler() = default;

SchedulerToken QtScheduler::schedule(std::chrono::milliseconds delay, std::function<void()> callback)
{
    return start(std::max(delay, std::chrono::milliseconds(0)), false, std::move(callback));
}

SchedulerToken QtScheduler::repeat(std::chrono::milliseconds interval, std::function<void()> callback)
{
    return start(std::max(interval, std::chrono::milliseconds(1)), true, std::move(callback));
}

std::chrono::milliseconds QtScheduler::now() const
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

SchedulerToken QtScheduler::start(std::chrono::milliseconds interval, bool repeating,
                                  std::function<void()> callback)
{
    auto active = std::make_shared<bool>(true);
    auto* timer = new QTimer(timers_.get());
    // Animation ticks (16 ms) need the precise timer; coarse timers may drift by 5 %.
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(!repeating);
    timer->setInterval(interval);
    QPointer<QTimer> guard(timer);
    QObject::connect(timer, &QTimer::timeout, timer, [active, repeating, guard, callback = std::move(callback)] {
        if (!*active) {
            return;
        }
        if (!repeating) {
            *active = false;
            guard->deleteLater();
        }
        // A copy: the callback may cancel its own token, which deletes the timer later,
        // never under the running lambda.
        const std::function<void()> run = callback;
        run();
    });
    timer->start();
    return SchedulerToken(active, [guard] {
        if (guard) {
            guard->stop();
            guard->deleteLater();
        }
    });
}

}  // namespace platform

#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Platform/UI/Scheduler.h"

namespace fakes {

// A scheduler whose clock stands still until `advance` moves it. Due callbacks run in the
// order of their due time, callbacks due at the same time in the order they were
// scheduled; callbacks scheduled while advancing run in the same call when they fall due
// before its end.
class FakeScheduler final : public platform::Scheduler {
public:
    platform::SchedulerToken schedule(std::chrono::milliseconds delay, std::function<void()> callback) override
    {
        return add(std::max(delay, std::chrono::milliseconds(0)), std::chrono::milliseconds(0), std::move(callback));
    }

    platform::SchedulerToken repeat(std::chrono::milliseconds interval, std::function<void()> callback) override
    {
        interval = std::max(interval, std::chrono::milliseconds(1));
        return add(interval, interval, std::move(callback));
    }

    void advance(std::chrono::milliseconds duration)
    {
        const std::chrono::milliseconds end = now_ + std::max(duration, std::chrono::milliseconds(0));
        for (;;) {
            std::erase_if(entries_, [](const std::shared_ptr<Entry>& e) { return !*e->active; });
            auto next = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
                return a->due != b->due ? a->due < b->due : a->order < b->order;
            });
            if (next == entries_.end() || (*next)->due > end) {
                break;
            }
            const std::shared_ptr<Entry> entry = *next;
            now_ = entry->due;
            if (entry->interval.count() > 0) {
                entry->due += entry->interval;
                entry->order = nextOrder_++;
            } else {
                *entry->active = false;
            }
            const std::function<void()> run = entry->callback;
            run();
        }
        now_ = end;
    }

    std::chrono::milliseconds now() const override { return now_; }

    // Callbacks that may still run.
    int pendingCount() const
    {
        return static_cast<int>(std::count_if(entries_.begin(), entries_.end(), [](const auto& e) { return *e->active; }));
    }

private:
    struct Entry {
        std::shared_ptr<bool> active;
        std::chrono::milliseconds due;
        std::chrono::milliseconds interval;
        std::uint64_t order;
        std::function<void()> callback;
    };

    platform::SchedulerToken add(std::chrono::milliseconds delay, std::chrono::milliseconds interval,
                       std::function<void()> callback)
    {
        auto active = std::make_shared<bool>(true);
        entries_.push_back(std::make_shared<Entry>(Entry{active, now_ + delay, interval, nextOrder_++, std::move(callback)}));
        return platform::SchedulerToken(active, nullptr);
    }

    std::vector<std::shared_ptr<Entry>> entries_;
    std::chrono::milliseconds now_{0};
    std::uint64_t nextOrder_ = 0;
};

}  // namespace fakes

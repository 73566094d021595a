#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

namespace bexmor {

// Hands every announced state to each current subscriber. A subscriber first receives the
// current state (the latest broadcast, else the initial state) and then every later
// broadcast, through an unbounded queue of its own, so broadcasting never waits.
template <typename T>
class Broadcaster {
    struct Queue {
        std::mutex mutex;
        std::condition_variable_any ready;
        std::deque<T> states;
    };

public:
    // One subscriber's stream. Destroying it ends the subscription.
    class Subscription {
    public:
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        ~Subscription() { owner_.unsubscribe(id_); }

        // Blocks until the next state arrives; nullopt when `stop` is requested first.
        std::optional<T> next(std::stop_token stop = {}) {
            std::unique_lock lock(queue_->mutex);
            if (!queue_->ready.wait(lock, stop, [&] { return !queue_->states.empty(); })) return std::nullopt;
            T state = std::move(queue_->states.front());
            queue_->states.pop_front();
            return state;
        }

    private:
        friend class Broadcaster;
        Subscription(Broadcaster& owner, uint64_t id, std::shared_ptr<Queue> queue)
            : owner_(owner), id_(id), queue_(std::move(queue)) {}
        Broadcaster& owner_;
        uint64_t id_;
        std::shared_ptr<Queue> queue_;
    };

    explicit Broadcaster(std::function<std::optional<T>()> initialState) : initialState_(std::move(initialState)) {}
    Broadcaster(const Broadcaster&) = delete;
    Broadcaster& operator=(const Broadcaster&) = delete;

    // The subscription must not outlive the broadcaster.
    std::unique_ptr<Subscription> subscribe() {
        auto queue = std::make_shared<Queue>();
        std::scoped_lock lock(mutex_);
        // Registered and given its first state under one lock: no broadcast can slip in
        // between, so the first state is never delivered twice.
        std::optional<T> first = latestState_;
        if (!first && initialState_) first = initialState_();
        if (first) queue->states.push_back(std::move(*first));
        const uint64_t id = nextId_++;
        queues_[id] = queue;
        return std::unique_ptr<Subscription>(new Subscription(*this, id, queue));
    }

    void broadcast(const T& state) {
        std::scoped_lock lock(mutex_);
        latestState_ = state;
        for (auto& [id, queue] : queues_) {
            {
                std::scoped_lock queueLock(queue->mutex);
                queue->states.push_back(state);
            }
            queue->ready.notify_all();
        }
    }

    std::optional<T> latestState() const {
        std::scoped_lock lock(mutex_);
        return latestState_;
    }

private:
    void unsubscribe(uint64_t id) {
        std::scoped_lock lock(mutex_);
        queues_.erase(id);
    }

    std::function<std::optional<T>()> initialState_;
    mutable std::mutex mutex_;
    std::optional<T> latestState_;
    std::map<uint64_t, std::shared_ptr<Queue>> queues_;
    uint64_t nextId_ = 0;
};

}  // namespace bexmor

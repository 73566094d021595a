#pragma once

#include <memory>
#include <mutex>

namespace bexmor {

// A weak reference that may be handed to other threads, so that work running elsewhere
// can reach back to its owner without keeping it alive. The owner must live in a
// std::shared_ptr. Once the last strong reference elsewhere is gone, `value()` reads empty.
template <class T>
class WeakSendableWrapper {
public:
    explicit WeakSendableWrapper(const std::shared_ptr<T>& object = nullptr) : value_(object) {}
    WeakSendableWrapper(const WeakSendableWrapper&) = delete;
    WeakSendableWrapper& operator=(const WeakSendableWrapper&) = delete;

    // A strong reference to the object while it still exists, else empty.
    std::shared_ptr<T> value() const {
        std::scoped_lock guard(mutex_);
        return value_.lock();
    }

    void setValue(const std::shared_ptr<T>& object) {
        std::scoped_lock guard(mutex_);
        value_ = object;
    }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<T> value_;
};

}  // namespace bexmor

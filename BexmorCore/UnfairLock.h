#pragma once

#include <functional>
#include <mutex>
#include <type_traits>

namespace bexmor {

// A short-held, non-recursive mutual-exclusion lock. Locking it again on the thread that
// holds it is a usage error. No lock of the core module is ever held while waiting on
// another lock, so no lock order arises.
class UnfairLock {
public:
    UnfairLock() = default;
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    // Runs `body` with the lock held and returns its result. When the body throws, the
    // lock is released before the exception travels on.
    template <class Body>
    std::invoke_result_t<Body&> withLock(Body&& body) {
        std::scoped_lock guard(mutex_);
        return std::invoke(body);
    }

    // BasicLockable, so the lock also works with std::scoped_lock.
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

}  // namespace bexmor

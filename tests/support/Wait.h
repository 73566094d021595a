#pragma once

// The one wait of the test programs without Qt (QtWait.h is its event-loop twin): polls
// until a condition holds.

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

// True as soon as `done` holds; false when `timeout` passed first. The time-out only
// guards against a hang: a slow machine must never change the outcome.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::minutes(2)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testsupport

#pragma once

#include <cstddef>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

namespace bexmor {

// Lets concurrent requests share one load: the first run() starts the operation on a
// thread of its own; every run() that arrives while it is in flight waits for that same
// operation instead of starting its own, and all of them get its outcome, the very same
// exception included. Once it has ended the next run() starts afresh.
class LoadModelsCoordinator {
public:
    using Operation = std::function<void()>;

    LoadModelsCoordinator() = default;
    ~LoadModelsCoordinator();
    LoadModelsCoordinator(const LoadModelsCoordinator&) = delete;
    LoadModelsCoordinator& operator=(const LoadModelsCoordinator&) = delete;

    // Blocks until the in-flight operation (or, with none in flight, `operation`) has
    // ended; rethrows its exception.
    void run(Operation operation);

    // The callers currently waiting in run(), the one that started the operation included.
    std::size_t waitingCount() const;

private:
    mutable std::mutex mutex_;
    std::optional<std::shared_future<void>> inflightLoad_;
    std::thread worker_;  // the thread of the latest operation
    std::size_t waiting_ = 0;
};

}  // namespace bexmor

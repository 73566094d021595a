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
//
// The coordinator owns the operation's thread and joins it before the next operation
// starts and at its own end. The thread lets go of the operation (and whatever it
// captured) before its callers hear the outcome, so once they have it the thread holds
// nothing of theirs and only has to return: the last owner of the coordinator's owner is
// always one of its callers, never the thread itself.
class LoadModelsCoordinator {
public:
    using Operation = std::function<void()>;

    LoadModelsCoordinator() = default;
    ~LoadModelsCoordinator() = default;
    LoadModelsCoordinator(const LoadModelsCoordinator&) = delete;
    LoadModelsCoordinator& operator=(const LoadModelsCoordinator&) = delete;

    // Blocks until the in-flight operation (or, with none in flight, `operation`) has
    // ended; rethrows its exception. Callers keep the coordinator alive while they wait.
    void run(Operation operation);

    // The callers currently waiting in run(), the one that started the operation included.
    std::size_t waitingCount() const;

private:
    mutable std::mutex mutex_;
    std::optional<std::shared_future<void>> inflightLoad_;
    std::size_t waiting_ = 0;
    // The latest operation's thread; declared last, so it is joined before the members
    // above go.
    std::jthread worker_;
};

}  // namespace bexmor

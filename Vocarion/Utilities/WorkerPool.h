#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vocarion {

// The engine's one pool of worker threads. Chunk tasks of a transcription run on it in
// batches; each task may use the numeric runtime's own threads, which the pool divides
// between the tasks that run at the same time so the machine is never oversubscribed:
// together they use the calling thread's OpenMP thread budget, and no more processors
// than other programs leave free.
class WorkerPool {
public:
    // 0 threads: one per processor. `freeProcessors` tells how many processors other
    // programs leave free now (the machine's reading unless a caller supplies its own).
    explicit WorkerPool(size_t threadCount = 0, std::function<int()> freeProcessors = {});
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    size_t threadCount() const { return threads_.size(); }

    // Runs every task and returns when all have finished; when tasks threw, the first
    // failure is rethrown then, after the whole batch has run.
    // Safe to call from several threads at once; the tasks then share the workers.
    void runAll(std::vector<std::function<void()>> tasks);

private:
    void workerLoop();

    std::function<int()> freeProcessors_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    bool stopping_ = false;
};

}  // namespace vocarion

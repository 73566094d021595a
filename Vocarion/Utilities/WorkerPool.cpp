#include "Vocarion/Utilities/WorkerPool.h"

#include <omp.h>

#include "Platform/ML/ThreadTeam.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <utility>

namespace vocarion {

WorkerPool::WorkerPool(size_t threadCount, std::function<int()> freeProcessors)
    : freeProcessors_(freeProcessors ? std::move(freeProcessors) : std::function<int()>(platform::ml::freeProcessorsNow)) {
    if (threadCount == 0) threadCount = std::max(1u, std::thread::hardware_concurrency());
    threads_.reserve(threadCount);
    for (size_t i = 0; i < threadCount; ++i) threads_.emplace_back([this] { workerLoop(); });
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
}

void WorkerPool::runAll(std::vector<std::function<void()>> tasks) {
    if (tasks.empty()) return;
    struct Batch {
        std::mutex mutex;
        std::condition_variable done;
        size_t remaining = 0;
        std::exception_ptr error;  // the first task's failure
    };
    auto batch = std::make_shared<Batch>();
    batch->remaining = tasks.size();
    // Threads per task: the numeric runtime's parallel regions inside a task use this many,
    // so that concurrent tasks together use the caller's thread budget (one per processor
    // unless the caller or OMP_NUM_THREADS asks for fewer) once, never several times over,
    // and no more processors than other programs leave free now.
    const int processors = std::max(1, std::min(omp_get_max_threads(), freeProcessors_()));
    const size_t concurrent = std::min(tasks.size(), threads_.size());
    const int threadsPerTask = std::max(1, processors / static_cast<int>(concurrent));
    {
        std::lock_guard lock(mutex_);
        for (auto& task : tasks) {
            queue_.push_back([task = std::move(task), batch, threadsPerTask] {
                omp_set_num_threads(threadsPerTask);
                std::exception_ptr error;
                try {
                    task();
                } catch (...) {
                    error = std::current_exception();  // never past the worker: it would end the process
                }
                std::lock_guard batchLock(batch->mutex);
                if (error && !batch->error) batch->error = error;
                if (--batch->remaining == 0) batch->done.notify_all();
            });
        }
    }
    wake_.notify_all();
    std::unique_lock lock(batch->mutex);
    batch->done.wait(lock, [&] { return batch->remaining == 0; });
    if (batch->error) std::rethrow_exception(batch->error);
}

void WorkerPool::workerLoop() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job();
    }
}

}  // namespace vocarion

#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "Vocarion/Utilities/WorkerPool.h"

using namespace vocarion;

TEST(WorkerPool, RunsEveryTaskBeforeReturningAndAllowsConcurrentCallers) {
    WorkerPool pool(3);
    EXPECT_EQ(pool.threadCount(), 3u);
    std::atomic<int> total{0};
    auto makeTasks = [&](int count) {
        std::vector<std::function<void()>> tasks;
        for (int i = 0; i < count; ++i)
            tasks.push_back([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                total.fetch_add(1);
            });
        return tasks;
    };
    std::thread other([&] { pool.runAll(makeTasks(10)); });
    pool.runAll(makeTasks(7));
    EXPECT_GE(total.load(), 7);
    other.join();
    EXPECT_EQ(total.load(), 17);
    pool.runAll({});

    // A task that throws ends its batch with that error once the others have run, and
    // every worker lives on.
    auto failing = makeTasks(5);
    failing[1] = [] { throw std::runtime_error("task failed"); };
    try {
        pool.runAll(failing);
        FAIL() << "the batch hid its task's failure";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "task failed");
    }
    EXPECT_EQ(total.load(), 21);
    pool.runAll(makeTasks(6));
    EXPECT_EQ(total.load(), 27);
}

TEST(WorkerPool, ConcurrentTasksShareTheCallersThreadBudget) {
    int free = 8;
    WorkerPool pool(4, [&] { return free; });
    omp_set_num_threads(4);
    std::atomic<int> seenMax{0}, seenMin{1000};
    auto record = [&] {
        const int threads = omp_get_max_threads();
        seenMax = std::max(seenMax.load(), threads);
        seenMin = std::min(seenMin.load(), threads);
    };
    pool.runAll({record, record});  // two at once: two threads each
    EXPECT_EQ(seenMax.load(), 2);
    EXPECT_EQ(seenMin.load(), 2);
    seenMax = 0;
    seenMin = 1000;
    pool.runAll({record, record, record, record, record, record});  // four at once: one each
    EXPECT_EQ(seenMax.load(), 1);
    pool.runAll({record});  // alone: the whole budget
    EXPECT_EQ(seenMax.load(), 4);
    free = 2;  // other programs took six processors: the tasks share the two left
    seenMax = 0;
    pool.runAll({record});
    EXPECT_EQ(seenMax.load(), 2);
    seenMax = 0;
    pool.runAll({record, record});
    EXPECT_EQ(seenMax.load(), 1);
}

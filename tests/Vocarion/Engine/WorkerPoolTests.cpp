#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "Vocarion/Utilities/WorkerPool.h"

using namespace vocarion;

TEST(WorkerPool, RunsEveryTaskOfConcurrentCallersAndAThrowingTaskEndsItsBatchWithTheError) {
    WorkerPool pool(3);
    std::atomic<int> total{0};
    auto tasks = [&](int count) { return std::vector<std::function<void()>>(size_t(count), [&] { total.fetch_add(1); }); };
    std::thread other([&] { pool.runAll(tasks(10)); });
    pool.runAll(tasks(7));
    EXPECT_GE(total.load(), 7);
    other.join();
    EXPECT_EQ(total.load(), 17);
    pool.runAll({});

    // The others still run, and every worker lives on.
    auto failing = tasks(5);
    failing[1] = [] { throw std::runtime_error("task failed"); };
    try {
        pool.runAll(failing);
        FAIL() << "the batch hid its task's failure";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "task failed");
    }
    EXPECT_EQ(total.load(), 21);
    pool.runAll(tasks(6));
    EXPECT_EQ(total.load(), 27);
}

TEST(WorkerPool, ConcurrentTasksShareTheCallersThreadBudget) {
    int free = 8;
    WorkerPool pool(4, [&] { return free; });
    omp_set_num_threads(4);
    std::atomic<int> most{0}, least{1000};
    auto record = [&] {
        most = std::max(most.load(), omp_get_max_threads());
        least = std::min(least.load(), omp_get_max_threads());
    };
    // Two at once: two threads each; six: one each; alone: all. When other programs
    // leave two processors free, the tasks share those two.
    const struct {
        size_t tasks;
        int free, threads;
    } cases[] = {{2, 8, 2}, {6, 8, 1}, {1, 8, 4}, {1, 2, 2}, {2, 2, 1}};
    for (const auto& c : cases) {
        free = c.free;
        most = 0, least = 1000;
        pool.runAll(std::vector<std::function<void()>>(c.tasks, record));
        EXPECT_EQ(std::make_pair(most.load(), least.load()), std::make_pair(c.threads, c.threads))
            << c.tasks << " tasks, " << c.free << " free";
    }
}

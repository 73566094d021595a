#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
}

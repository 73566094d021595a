#include <gtest/gtest.h>

#include <optional>
#include <string_view>

#include "Platform/ML/ThreadTeam.h"

using namespace platform::ml;

TEST(ThreadTeam, ReadsTheCgroupQuota) {
    const struct {
        std::string_view line;
        std::optional<int> processors;
    } cases[] = {
        {"max 100000\n", std::nullopt},
        {"400000 100000\n", 4},
        {"250000 100000", 2},  // whole processors only: a third thread would be throttled
        {"50000 100000", 1},
        {"200000", 2},  // the period defaults to 100000
        {"", std::nullopt},
        {"abc 100000", std::nullopt},
        {"100000 0", std::nullopt},
        {"100000 100000 7", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(cpuQuotaProcessors(c.line), c.processors) << c.line;
}

TEST(ThreadTeam, ReadsRunnableTasksAndTaskStates) {
    EXPECT_EQ(runnableTasks("45.84 40.57 37.37 45/476 11883\n"), 45);
    EXPECT_EQ(runnableTasks("0.00 0.01 0.05 1/80 7"), 1);
    EXPECT_EQ(runnableTasks("0.00 0.01 0.05 80 7"), std::nullopt);
    EXPECT_EQ(runnableTasks(""), std::nullopt);
    EXPECT_TRUE(taskRunnable("812 (bench ml) R 1 812 812 0"));
    EXPECT_TRUE(taskRunnable("812 (a) b) R) R 1"));  // the state follows the last parenthesis
    EXPECT_FALSE(taskRunnable("813 (worker R) S 1 812"));
    EXPECT_FALSE(taskRunnable("garbage"));
}

TEST(ThreadTeam, CountsFreeProcessors) {
    const struct {
        int allowed;
        std::optional<int> quota;
        int runnable, own, free;
    } cases[] = {
        {8, std::nullopt, 1, 1, 8},   // idle machine
        {8, std::nullopt, 4, 1, 5},   // three busy programs
        {8, std::nullopt, 9, 1, 1},   // every processor taken: still one thread
        {8, std::nullopt, 9, 9, 8},   // only our own team runs
        {8, 2, 1, 1, 2},              // the quota caps the team
        {4, 6, 2, 1, 3},              // so does the affinity mask
        {8, std::nullopt, 0, 1, 8},   // a reading taken between two changes
    };
    for (const auto& c : cases)
        EXPECT_EQ(freeProcessors(c.allowed, c.quota, c.runnable, c.own), c.free)
            << c.allowed << " " << c.quota.value_or(0) << " " << c.runnable << " " << c.own;
}

// How many processors the runtime's teams may take, read from the cgroup quota, the load
// and the task states.
#include <gtest/gtest.h>
#include <sched.h>

#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "Platform/ML/ThreadTeam.h"

using namespace platform::ml;

TEST(TeamSize, FollowsTheProcessorsOtherProgramsLeaveFree) {
    const struct {
        std::string_view line;
        std::optional<int> processors;
    } quotas[] = {
        {"max 100000\n", std::nullopt}, {"400000 100000\n", 4}, {"250000 100000", 2},  // whole processors only
        {"50000 100000", 1},            {"200000", 2},          {"-1 100000", std::nullopt},
        {"", std::nullopt},             {"abc 100000", std::nullopt}, {"100000 0", std::nullopt},
    };
    for (const auto& c : quotas) EXPECT_EQ(cpuQuotaProcessors(c.line), c.processors) << c.line;
    EXPECT_EQ(runnableTasks("45.84 40.57 37.37 45/476 11883\n"), 45);
    EXPECT_EQ(runnableTasks("0.00 0.01 0.05 80 7"), std::nullopt);
    EXPECT_TRUE(taskRunnable("812 (a) b) R) R 1"));  // the state follows the last parenthesis
    EXPECT_FALSE(taskRunnable("813 (worker R) S 1 812"));

    const struct {
        int allowed;
        std::optional<int> quota;
        int runnable, own, free;
    } machines[] = {
        {8, std::nullopt, 1, 1, 8},  // idle
        {8, std::nullopt, 4, 1, 5},  // three busy programs
        {8, std::nullopt, 9, 1, 1},  // every processor taken: still one thread
        {8, std::nullopt, 9, 9, 8},  // only our own threads run
        {8, 2, 1, 1, 2},             // the quota caps the team
        {4, 6, 2, 1, 3},             // so does the affinity mask
    };
    for (const auto& c : machines)
        EXPECT_EQ(freeProcessors(c.allowed, c.quota, c.runnable, c.own), c.free) << c.runnable << " " << c.own;

    // The team: the free processors, a decoder step at least two of a larger budget, the
    // encoder at least half; never beyond the budget.
    const struct {
        TeamSharing sharing;
        int budget, free, size;
    } teams[] = {
        {TeamSharing::freeProcessors, 8, 8, 8}, {TeamSharing::freeProcessors, 8, 5, 5},
        {TeamSharing::freeProcessors, 8, 1, 2}, {TeamSharing::freeProcessors, 4, 1, 2},
        {TeamSharing::freeProcessors, 3, 1, 1}, {TeamSharing::freeProcessors, 1, 1, 1},
        {TeamSharing::freeProcessors, 2, 8, 2}, {TeamSharing::fairShare, 8, 1, 4},
        {TeamSharing::fairShare, 8, 6, 6},      {TeamSharing::fairShare, 7, 1, 4},
        {TeamSharing::fairShare, 1, 1, 1},      {TeamSharing::fairShare, 0, 1, 1},
    };
    for (const auto& t : teams)
        EXPECT_EQ(teamSize(t.sharing, t.budget, t.free), t.size)
            << (t.sharing == TeamSharing::fairShare ? "fair share " : "free processors ") << t.budget << " " << t.free;
}

// Threads that end while their /proc/self/task entries are read (about two scans in a
// hundred met one) count as gone: the reading never throws, and the size stays sane.
TEST(TeamSize, ThreadsEndingWhileTheirStatesAreReadCountAsGone) {
    cpu_set_t set;
    CPU_ZERO(&set);
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    const int allowed = CPU_COUNT(&set);
    std::vector<std::jthread> churn;  // stopped and joined however the test ends
    for (int i = 0; i < 4; ++i)
        churn.emplace_back([](std::stop_token stop) {
            while (!stop.stop_requested()) std::thread([] {}).join();
        });
    for (int scan = 0; scan < 3000; ++scan) {
        int free = 0;
        ASSERT_NO_THROW((void)ownRunnableThreads()) << "scan " << scan;
        ASSERT_NO_THROW(free = freeProcessorsNow()) << "scan " << scan;
        ASSERT_TRUE(free >= 1 && free <= allowed) << free;
    }
}

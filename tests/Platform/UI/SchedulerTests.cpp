#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/UI/FakeScheduler.h"
#include "../../support/QtWait.h"

using namespace std::chrono_literals;
using platform::FakeScheduler;
using platform::SchedulerToken;

TEST(Scheduler, FakeRunsDueCallbacksInTimeThenSchedulingOrder)
{
    FakeScheduler scheduler;
    std::vector<std::string> fired;
    std::vector<SchedulerToken> tokens;
    tokens.push_back(scheduler.schedule(30ms, [&] { fired.push_back("30"); }));
    tokens.push_back(scheduler.schedule(10ms, [&] { fired.push_back("10a"); }));
    tokens.push_back(scheduler.repeat(15ms, [&] { fired.push_back("r" + std::to_string(scheduler.now().count())); }));
    tokens.push_back(scheduler.schedule(10ms, [&] {
        fired.push_back("10b");
        // Scheduled while advancing and due before the end: runs in the same advance.
        tokens.push_back(scheduler.schedule(5ms, [&] { fired.push_back("nested15"); }));
    }));
    tokens.push_back(scheduler.schedule(50ms, [&] { fired.push_back("50"); }));

    scheduler.advance(9ms);
    EXPECT_TRUE(fired.empty());
    scheduler.advance(31ms);
    EXPECT_EQ(fired, (std::vector<std::string>{"10a", "10b", "r15", "nested15", "30", "r30"}));
    EXPECT_EQ(scheduler.now(), 40ms);
    EXPECT_FALSE(tokens[0].isActive());  // fired one-shot
    EXPECT_TRUE(tokens[2].isActive());   // repeating
    EXPECT_EQ(scheduler.pendingCount(), 2);
}

TEST(Scheduler, CancelledTokensNeverFire)
{
    FakeScheduler scheduler;
    int fired = 0;
    SchedulerToken cancelled = scheduler.schedule(10ms, [&] { ++fired; });
    cancelled.cancel();
    { SchedulerToken dropped = scheduler.schedule(10ms, [&] { ++fired; }); }  // destroyed: cancelled
    SchedulerToken replaced = scheduler.schedule(10ms, [&] { ++fired; });
    replaced = scheduler.schedule(20ms, [&] { fired += 100; });  // the newest wins
    // Due at the same moment as an earlier callback that cancels it.
    SchedulerToken victim;
    SchedulerToken killer = scheduler.schedule(30ms, [&] { victim.cancel(); });
    victim = scheduler.schedule(30ms, [&] { fired += 1000; });
    SchedulerToken ticker;
    int ticks = 0;
    ticker = scheduler.repeat(5ms, [&] {
        if (++ticks == 3) {
            ticker.cancel();  // a repeating callback may stop itself
        }
    });
    SchedulerToken moved = scheduler.schedule(1ms, [&] { fired += 10000; });
    SchedulerToken target = std::move(moved);  // moving keeps it alive

    scheduler.advance(100ms);
    EXPECT_EQ(fired, 10100);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(scheduler.pendingCount(), 0);
}

TEST(Scheduler, QtSchedulerFiresAndCancelsOnTheEventLoop)
{
    platform::QtScheduler scheduler;
    int once = 0, cancelled = 0, ticks = 0;
    SchedulerToken a = scheduler.schedule(1ms, [&] { ++once; });
    SchedulerToken b = scheduler.schedule(1ms, [&] { ++cancelled; });
    SchedulerToken c;
    c = scheduler.repeat(1ms, [&] {
        if (++ticks == 3) {
            c.cancel();
        }
    });
    b.cancel();
    ASSERT_TRUE(testsupport::spinUntil([&] { return once == 1 && ticks >= 3; }));
    testsupport::spinFor(50ms);  // room for a call that must not come
    EXPECT_EQ(once, 1);
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(a.isActive());
}

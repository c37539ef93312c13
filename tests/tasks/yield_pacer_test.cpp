// The pacer on a clock the test moves by hand: nothing here waits for real time.
#include <gtest/gtest.h>

#include "tasks/yield_pacer.h"

namespace brindle {
namespace {

struct FakeTime {
    int64_t now = 1000;
    std::vector<uint32_t> sleeps;
    YieldPacer Make(uint32_t interval)
    {
        return YieldPacer(interval, 20, [this] { return now; }, [this](uint32_t ms) { sleeps.push_back(ms), now += ms; });
    }
};

TEST(YieldPacerTest, SleepsThePauseOnceMoreThanTheIntervalHasPassedAndNotWithPausingOff)
{
    for (const auto& [asked, interval] : {std::pair<uint32_t, int64_t>{110, 110}, {10, 55}}) {  // raised to at least 55
        FakeTime time;
        YieldPacer pacer = time.Make(asked);
        EXPECT_EQ(pacer.IntervalMs(), uint32_t(interval));
        EXPECT_FALSE(pacer.Pace()) << "starts a stopped pacer without sleeping";
        EXPECT_TRUE(pacer.IsRunning());
        time.now += interval;
        EXPECT_FALSE(pacer.Pace()) << "exactly the interval is not more than it";
        time.now += 1;
        EXPECT_TRUE(pacer.Pace());
        EXPECT_EQ(time.sleeps, std::vector<uint32_t>{20});
        EXPECT_EQ(pacer.Elapsed(), 0) << "restarted after the pause";
        time.now += interval - 5;
        EXPECT_FALSE(pacer.Pace());
        YieldPacer::SetPausing(false);
        time.now += 10000;
        const bool slept = pacer.Pace();
        YieldPacer::SetPausing(true);
        EXPECT_FALSE(slept) << "pausing off for the process";
        EXPECT_EQ(time.sleeps.size(), 1u);
        EXPECT_TRUE(pacer.Pace()) << "pausing on again: the interval has long passed";
    }
    EXPECT_EQ(YieldPacer().IntervalMs(), 110u);
    EXPECT_EQ(YieldPacer().PauseMs(), 20u);
}

TEST(YieldPacerTest, StartStopRestartAndElapsed)
{
    FakeTime time;
    YieldPacer pacer = time.Make(110);
    EXPECT_EQ(pacer.Elapsed(), 0);
    pacer.Start();
    time.now += 30;
    pacer.Start();  // does nothing while running
    EXPECT_EQ(pacer.Elapsed(), 30);
    pacer.Stop();
    time.now += 500;
    EXPECT_EQ(pacer.Elapsed(), 30) << "the stop tick holds it";
    pacer.Restart();
    EXPECT_TRUE(pacer.IsRunning());
    EXPECT_EQ(pacer.Elapsed(), 0);
    time.now -= 5;
    EXPECT_EQ(pacer.Elapsed(), -1) << "a clock that went backwards";
    EXPECT_FALSE(pacer.Pace());
}

}  // namespace
}  // namespace brindle

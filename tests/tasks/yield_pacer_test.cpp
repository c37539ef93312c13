// The pacer on a clock the test moves by hand: nothing here waits for real time.
#include <gtest/gtest.h>

#include <vector>

#include "tasks/yield_pacer.h"

namespace brindle {
namespace {

struct FakeTime {
    int64_t now = 1000;
    std::vector<uint32_t> sleeps;

    YieldPacer Make(uint32_t interval, uint32_t pause)
    {
        return YieldPacer(
            interval, pause, [this] { return now; },
            [this](uint32_t ms) {
                sleeps.push_back(ms);
                now += ms;
            });
    }
};

TEST(YieldPacerTest, SleepsThePauseOnceMoreThanTheIntervalHasPassed)
{
    FakeTime time;
    YieldPacer pacer = time.Make(110, 20);
    pacer.Start();
    time.now += 110;
    EXPECT_FALSE(pacer.Pace()) << "exactly the interval is not more than it";
    time.now += 1;
    EXPECT_TRUE(pacer.Pace());
    EXPECT_EQ(time.sleeps, std::vector<uint32_t>{20});
    EXPECT_EQ(pacer.Elapsed(), 0) << "restarted after the pause";
    time.now += 50;
    EXPECT_FALSE(pacer.Pace());
    EXPECT_EQ(time.sleeps.size(), 1u);
}

TEST(YieldPacerTest, WithPausingOffForTheProcessNoPacerSleeps)
{
    FakeTime time;
    YieldPacer pacer = time.Make(110, 20);
    pacer.Start();
    YieldPacer::SetPausing(false);
    time.now += 10000;
    const bool slept = pacer.Pace();
    YieldPacer::SetPausing(true);
    EXPECT_FALSE(slept);
    EXPECT_TRUE(time.sleeps.empty());
    EXPECT_TRUE(pacer.Pace()) << "pausing on again: the interval has long passed";
}

TEST(YieldPacerTest, IntervalsBelow55AreRaisedTo55)
{
    FakeTime time;
    YieldPacer pacer = time.Make(10, 20);
    EXPECT_EQ(pacer.IntervalMs(), 55u);
    pacer.Start();
    time.now += 55;
    EXPECT_FALSE(pacer.Pace());
    time.now += 1;
    EXPECT_TRUE(pacer.Pace());
    EXPECT_EQ(YieldPacer().IntervalMs(), 110u);
    EXPECT_EQ(YieldPacer().PauseMs(), 20u);
}

TEST(YieldPacerTest, StartStopRestartAndElapsed)
{
    FakeTime time;
    YieldPacer pacer = time.Make(110, 20);
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

TEST(YieldPacerTest, PaceStartsAStoppedPacerWithoutSleeping)
{
    FakeTime time;
    YieldPacer pacer = time.Make(110, 20);
    EXPECT_FALSE(pacer.Pace());
    EXPECT_TRUE(pacer.IsRunning());
    time.now += 200;
    EXPECT_TRUE(pacer.Pace());
}

}  // namespace
}  // namespace brindle

#include "tasks/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tasks/worker_thread.h"

namespace brindle {
namespace {

// Records every notification so a test can tell a real change from a silent one.
class RecordingProgress : public Progress {
public:
    using Progress::Progress;
    std::vector<uint32_t> positions;
    int cancelledCalls = 0;
    int failedCalls = 0;

protected:
    void OnPositionChanged() override { positions.push_back(Position()); }
    void OnCancelled() override { ++cancelledCalls; }
    void OnFailed() override { ++failedCalls; }
};

TEST(Progress, ConstructionClampsPositionToRange)
{
    Progress p(10, 25);
    EXPECT_EQ(p.Position(), 10u);
    EXPECT_FALSE(p.IsCancelled());
    EXPECT_FALSE(p.IsFailed());
}

TEST(Progress, AdvanceClampsAndNotifiesOnlyOnRealChange)
{
    RecordingProgress p(100, 10);
    p.Advance(-50);
    EXPECT_EQ(p.Position(), 0u);
    p.Advance(-1);  // already at 0: no notification
    p.Advance(1000);
    EXPECT_EQ(p.Position(), 100u);
    p.Advance(5);  // already at the range
    p.Advance(0);
    EXPECT_EQ(p.positions, (std::vector<uint32_t>{0, 100}));
}

TEST(Progress, CompleteNotifiesOnce)
{
    RecordingProgress p(40, 0);
    p.Complete();
    p.Complete();
    EXPECT_EQ(p.positions, (std::vector<uint32_t>{40}));
}

TEST(Progress, SetRangeRules)
{
    RecordingProgress p(100, 50);
    p.SetRange(100);
    EXPECT_TRUE(p.positions.empty()) << "same range must do nothing";
    p.SetRange(30);  // below the position: clamped and notified
    EXPECT_EQ(p.Position(), 30u);
    EXPECT_EQ(p.positions, (std::vector<uint32_t>{30}));
    p.SetRange(60);  // 0 < position < range: notified without a change
    EXPECT_EQ(p.positions.size(), 2u);

    RecordingProgress atZero(10, 0);
    atZero.SetRange(20);
    EXPECT_TRUE(atZero.positions.empty());
    RecordingProgress atEnd(10, 10);
    atEnd.SetRange(20);  // position == old range, not below the new one: only 0 < pos < r notifies
    EXPECT_EQ(atEnd.positions.size(), 1u);
}

TEST(Progress, SetPercentClampsAndUsesSinglePrecisionHundredth)
{
    RecordingProgress p(200, 0);
    p.SetPercent(150.0f);
    EXPECT_EQ(p.Position(), 200u);
    p.SetPercent(-3.0f);
    EXPECT_EQ(p.Position(), 0u);
    p.SetPercent(75.0f);
    p.SetPercent(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(p.Position(), 0u);
    p.SetPercent(50.0f);
    EXPECT_EQ(p.Position(), 100u);
    p.SetPercent(0.9f);  // 1.8 units truncate toward zero
    EXPECT_EQ(p.Position(), 1u);
    const size_t notified = p.positions.size();
    p.SetPercent(0.9f);
    EXPECT_EQ(p.positions.size(), notified) << "no change, no notification";
}

TEST(Progress, PercentOfZeroRangeIsZero)
{
    Progress empty(0, 0);
    EXPECT_EQ(empty.Percent(), 0.0);
    Progress half(4000000000u, 2000000000u);  // the product position * 100 must not wrap
    EXPECT_DOUBLE_EQ(half.Percent(), 50.0);
}

TEST(Progress, CancelAndFailActOnce)
{
    RecordingProgress p(10);
    p.Cancel();
    p.Cancel();
    p.Fail();
    p.Fail();
    EXPECT_TRUE(p.IsCancelled());
    EXPECT_TRUE(p.IsFailed());
    EXPECT_EQ(p.cancelledCalls, 1);
    EXPECT_EQ(p.failedCalls, 1);
}

TEST(SubProgress, MapsItsRangeOntoTheParentsShare)
{
    RecordingProgress parent(100, 20);
    SubProgress child(parent, 40);
    EXPECT_EQ(child.Span(), 40u);
    EXPECT_EQ(child.Range(), 40u);
    child.SetPercent(50.0f);
    EXPECT_EQ(parent.Position(), 20u + 20u);
    child.Advance(-1);  // 19 of 40 units of a 40-unit span
    EXPECT_EQ(parent.Position(), 20u + 19u);
    child.Complete();
    EXPECT_EQ(parent.Position(), 60u);

    SubProgress second(parent, 1000);  // cut to what the parent has left
    EXPECT_EQ(second.Span(), 40u);
    second.Complete();
    EXPECT_EQ(parent.Position(), 100u);
}

TEST(SubProgress, OwnRangeScalesDownToSpan)
{
    RecordingProgress parent(10, 0);
    SubProgress child(parent, 10, 1000);
    child.Advance(499);
    EXPECT_EQ(parent.Position(), 4u);  // 10 * 499 / 1000 truncated
    child.Advance(1);
    EXPECT_EQ(parent.Position(), 5u);
}

TEST(SubProgress, LargeRangesDoNotWrapTheParent)
{
    RecordingProgress parent(4000000000u, 0);
    SubProgress child(parent, 4000000000u);
    child.SetPercent(50.0f);
    EXPECT_NEAR(double(parent.Position()), 2.0e9, 1.0e3);
}

TEST(SubProgress, AtParentsEndHasNoSpanAndNeverMovesIt)
{
    RecordingProgress parent(50, 50);
    SubProgress child(parent, 10);
    EXPECT_EQ(child.Span(), 0u);
    child.Advance(5);
    child.Complete();
    EXPECT_EQ(parent.Position(), 50u);
    EXPECT_TRUE(parent.positions.empty());
}

TEST(SubProgress, CancelAndFailTravelUp)
{
    RecordingProgress parent(10);
    {
        SubProgress child(parent, 5);
        EXPECT_FALSE(child.IsCancelled());
        child.Cancel();
        child.Fail();
        child.Fail();
        EXPECT_TRUE(child.IsCancelled());
    }
    EXPECT_TRUE(parent.IsCancelled());
    EXPECT_EQ(parent.cancelledCalls, 1);
    EXPECT_EQ(parent.failedCalls, 1);

    RecordingProgress other(10);
    SubProgress child(other, 5);
    other.Cancel();
    EXPECT_TRUE(child.IsCancelled()) << "a child sees its parent's cancellation";
}

}  // namespace
}  // namespace brindle

namespace brindle {
namespace {

int NiceOfThisThread()
{
    errno = 0;
    return ::getpriority(PRIO_PROCESS, id_t(::gettid()));
}

// Records the nice value of its own thread and of a thread it starts, as a range of a decode would.
class NiceProbe final : public WorkerThread {
public:
    ~NiceProbe() override { StopAndWait(); }
    int Run() override
    {
        own = NiceOfThisThread();
        std::thread([this] { started = NiceOfThisThread(); }).join();
        return 1;
    }
    int own = 0;
    int started = 0;
};

TEST(WorkerThread, BackgroundNiceLowersTheWorkAndWhatItStartsButNotTheCaller)
{
    const int caller = NiceOfThisThread();
    WorkerThread::SetBackgroundNice(3);
    NiceProbe lowered;
    ASSERT_EQ(lowered.StartThread(), 1);
    lowered.Wait();
    WorkerThread::SetBackgroundNice(0);
    NiceProbe plain;
    ASSERT_EQ(plain.StartThread(), 1);
    plain.Wait();

    EXPECT_EQ(lowered.own, std::min(caller + 3, 19));
    EXPECT_EQ(lowered.started, lowered.own) << "a crew's threads share the worker's priority";
    EXPECT_EQ(plain.own, caller);
    EXPECT_EQ(NiceOfThisThread(), caller) << "only the worker's thread, never the whole process";
}

}  // namespace
}  // namespace brindle

#include "tasks/progress.h"

#include <gtest/gtest.h>

#include <limits>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "tasks/worker_thread.h"

namespace brindle {
namespace {

// Records every notification so a test can tell a real change from a silent one.
class RecordingProgress : public Progress {
public:
    using Progress::Progress;
    std::vector<uint32_t> positions;
    int cancelledCalls = 0, failedCalls = 0;

protected:
    void OnPositionChanged() override { positions.push_back(Position()); }
    void OnCancelled() override { ++cancelledCalls; }
    void OnFailed() override { ++failedCalls; }
};
using Positions = std::vector<uint32_t>;

TEST(Progress, MovesClampAndNotifyOnlyOnRealChange)
{
    EXPECT_EQ(Progress(10, 25).Position(), 10u) << "construction clamps";
    RecordingProgress p(100, 10), complete(40, 0);
    for (int step : {-50, -1, 1000, 5, 0})  // -1 at 0 and 5 at the range change nothing
        p.Advance(step);
    p.Complete();
    complete.Complete();
    complete.Complete();
    EXPECT_EQ(p.positions, (Positions{0, 100}));
    EXPECT_EQ(complete.positions, Positions{40});

    RecordingProgress r(100, 50), atZero(10, 0), atEnd(10, 10);
    r.SetRange(100);  // the same range does nothing
    r.SetRange(30);   // below the position: clamped and notified
    EXPECT_EQ(r.Position(), 30u);
    r.SetRange(60);  // 0 < position < range: notified without a change
    atZero.SetRange(20);
    atEnd.SetRange(20);  // position == old range, not below the new one: only 0 < pos < r notifies
    EXPECT_EQ(r.positions, (Positions{30, 30}));
    EXPECT_TRUE(atZero.positions.empty());
    EXPECT_EQ(atEnd.positions.size(), 1u);

    // Single-precision hundredths: 0.9 % of 200 is 1.8 units, truncated toward zero; NaN is 0.
    RecordingProgress s(200, 0);
    const std::pair<float, uint32_t> steps[] = {{150.0f, 200}, {-3.0f, 0},  {75.0f, 150}, {std::numeric_limits<float>::quiet_NaN(), 0},
                                                {50.0f, 100},  {0.9f, 1},   {0.9f, 1}};
    for (const auto& [percent, position] : steps) {
        s.SetPercent(percent);
        EXPECT_EQ(s.Position(), position) << percent;
    }
    EXPECT_EQ(s.positions, (Positions{200, 0, 150, 0, 100, 1})) << "no change, no notification";
    EXPECT_EQ(Progress(0, 0).Percent(), 0.0);
    EXPECT_DOUBLE_EQ(Progress(4000000000u, 2000000000u).Percent(), 50.0) << "position * 100 must not wrap";
}

TEST(Progress, CancelAndFailActOnceAndTravelUpFromASubProgress)
{
    RecordingProgress p(10), parent(10), other(10);
    p.Cancel(), p.Cancel(), p.Fail(), p.Fail();
    EXPECT_TRUE(p.IsCancelled() && p.IsFailed());
    EXPECT_EQ(p.cancelledCalls, 1);
    EXPECT_EQ(p.failedCalls, 1);
    EXPECT_FALSE(other.IsCancelled() || other.IsFailed());
    {
        SubProgress child(parent, 5);
        EXPECT_FALSE(child.IsCancelled());
        child.Cancel(), child.Fail(), child.Fail();
        EXPECT_TRUE(child.IsCancelled());
    }
    EXPECT_TRUE(parent.IsCancelled());
    EXPECT_EQ(parent.cancelledCalls, 1);
    EXPECT_EQ(parent.failedCalls, 1);
    SubProgress child(other, 5);
    other.Cancel();
    EXPECT_TRUE(child.IsCancelled()) << "a child sees its parent's cancellation";
}

TEST(SubProgress, MapsItsRangeOntoTheParentsShare)
{
    RecordingProgress parent(100, 20);
    SubProgress child(parent, 40);
    EXPECT_EQ(child.Span(), 40u);
    EXPECT_EQ(child.Range(), 40u);
    child.SetPercent(50.0f);
    child.Advance(-1);  // 19 of 40 units of a 40-unit span
    child.Complete();
    SubProgress second(parent, 1000);  // cut to what the parent has left
    EXPECT_EQ(second.Span(), 40u);
    second.Complete();
    SubProgress atEnd(parent, 10);  // no span left: never moves the parent
    EXPECT_EQ(atEnd.Span(), 0u);
    atEnd.Advance(5), atEnd.Complete();
    EXPECT_EQ(parent.positions, (Positions{40, 39, 60, 100}));

    RecordingProgress small(10, 0), large(4000000000u, 0);
    SubProgress scaled(small, 10, 1000), wide(large, 4000000000u);
    scaled.Advance(499);
    EXPECT_EQ(small.Position(), 4u) << "10 * 499 / 1000 truncated";
    scaled.Advance(1);
    EXPECT_EQ(small.Position(), 5u);
    wide.SetPercent(50.0f);
    EXPECT_NEAR(double(large.Position()), 2.0e9, 1.0e3) << "large ranges do not wrap the parent";
}

int NiceOfThisThread() { return errno = 0, ::getpriority(PRIO_PROCESS, id_t(::gettid())); }

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
    int own = 0, started = 0;
};

TEST(WorkerThread, BackgroundNiceLowersTheWorkAndWhatItStartsButNotTheCaller)
{
    const int caller = NiceOfThisThread();
    NiceProbe lowered, plain;
    WorkerThread::SetBackgroundNice(3);
    ASSERT_EQ(lowered.StartThread(), 1);
    lowered.Wait();
    WorkerThread::SetBackgroundNice(0);
    ASSERT_EQ(plain.StartThread(), 1);
    plain.Wait();
    EXPECT_EQ(lowered.own, std::min(caller + 3, 19));
    EXPECT_EQ(lowered.started, lowered.own) << "a crew's threads share the worker's priority";
    EXPECT_EQ(plain.own, caller);
    EXPECT_EQ(NiceOfThisThread(), caller) << "only the worker's thread, never the whole process";
}

}  // namespace
}  // namespace brindle

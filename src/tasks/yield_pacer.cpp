#include "tasks/yield_pacer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace brindle {

namespace {

int64_t SteadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SleepMilliseconds(uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace

YieldPacer::YieldPacer(uint32_t intervalMs, uint32_t pauseMs)
    : YieldPacer(intervalMs, pauseMs, SteadyMilliseconds, SleepMilliseconds)
{
}

YieldPacer::YieldPacer(uint32_t intervalMs, uint32_t pauseMs, Clock clock, Sleeper sleeper)
    : intervalMs_(std::max(intervalMs, kMinIntervalMs)),
      pauseMs_(pauseMs),
      clock_(clock ? std::move(clock) : Clock(SteadyMilliseconds)),
      sleeper_(sleeper ? std::move(sleeper) : Sleeper(SleepMilliseconds))
{
}

void YieldPacer::Start()
{
    if (isRunning_)
        return;
    startTick_ = clock_();
    stopTick_ = 0;
    isRunning_ = true;
    hasStarted_ = true;
}

void YieldPacer::Stop()
{
    if (!isRunning_)
        return;
    stopTick_ = clock_();
    isRunning_ = false;
}

void YieldPacer::Restart()
{
    startTick_ = 0;
    stopTick_ = 0;
    isRunning_ = false;
    Start();
}

int64_t YieldPacer::Elapsed() const
{
    if (!hasStarted_)
        return 0;
    const int64_t end = isRunning_ ? clock_() : stopTick_;
    return end < startTick_ ? -1 : end - startTick_;
}

namespace {
std::atomic<bool> pausing{true};
}  // namespace

void YieldPacer::SetPausing(bool on) { pausing.store(on, std::memory_order_relaxed); }

bool YieldPacer::IsPausing() { return pausing.load(std::memory_order_relaxed); }

bool YieldPacer::Pace()
{
    if (!isRunning_) {
        Start();
        return false;
    }
    if (!IsPausing())
        return false;
    // A clock that went backwards (-1) does not count as time worked.
    if (Elapsed() <= int64_t(intervalMs_))
        return false;
    sleeper_(pauseMs_);
    Restart();
    return true;
}

}  // namespace brindle

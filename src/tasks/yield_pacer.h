// Pacing for long block loops on the worker thread: after every interval of work the loop sleeps
// for a short pause, so that the user-interface thread and the disk get their turn.
//
// One pacer belongs to one loop on one thread. Times are milliseconds of a monotonic clock.
#pragma once

#include <cstdint>
#include <functional>

namespace brindle {

class YieldPacer {
public:
    // Reads the clock in milliseconds; the default is std::chrono::steady_clock.
    using Clock = std::function<int64_t()>;
    // Sleeps for the given milliseconds; the default is std::this_thread::sleep_for.
    using Sleeper = std::function<void(uint32_t)>;

    // Intervals below kMinIntervalMs are raised to it. Not running until Start().
    explicit YieldPacer(uint32_t intervalMs = kDefaultIntervalMs, uint32_t pauseMs = kDefaultPauseMs);
    // The same with a clock and a sleeper of the caller's (tests drive time by hand).
    YieldPacer(uint32_t intervalMs, uint32_t pauseMs, Clock clock, Sleeper sleeper);

    // Records the current tick; does nothing while running.
    void Start();
    // Records the stop tick; Elapsed() then stays fixed.
    void Stop();
    // Clears both ticks and starts again.
    void Restart();
    // Stop tick (or now while running) minus start tick; 0 before the first Start, -1 if the clock
    // went backwards.
    int64_t Elapsed() const;
    bool IsRunning() const { return isRunning_; }

    // Asked after each block: when more than the interval has passed since the last start, sleeps
    // for the pause and restarts. Returns true when it slept. Starts the pacer if it was not running.
    bool Pace();

    // Process-wide: a program without a window to keep responsive (brindle-batch) turns the pauses
    // off, and Pace() then never sleeps. On by default.
    static void SetPausing(bool on);
    static bool IsPausing();

    uint32_t IntervalMs() const { return intervalMs_; }
    uint32_t PauseMs() const { return pauseMs_; }

    static constexpr uint32_t kDefaultIntervalMs = 110;
    static constexpr uint32_t kDefaultPauseMs = 20;
    static constexpr uint32_t kMinIntervalMs = 55;

private:
    uint32_t intervalMs_;
    uint32_t pauseMs_;
    Clock clock_;
    Sleeper sleeper_;
    int64_t startTick_ = 0;
    int64_t stopTick_ = 0;
    bool isRunning_ = false;
    bool hasStarted_ = false;
};

}  // namespace brindle

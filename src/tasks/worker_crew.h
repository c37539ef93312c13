// A few threads that share one piece of work (the ranges of one MP3 decode or encode), owned by the
// thread that runs the work: it starts them, keeps reporting progress while they run, and joins them.
//
// The crew knows nothing of cancellation: the jobs poll a flag of the caller's, which the caller sets
// from its tick. Threads inherit the scheduling priority of the thread that starts them, so a load or
// save that runs at a lower priority (WorkerThread::SetBackgroundPriority) keeps it in its crew.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace brindle {

// The processors this process may run on (its affinity mask), at least 1.
unsigned UsableCores();

class WorkerCrew {
public:
    WorkerCrew() = default;
    // Joins every thread still running.
    ~WorkerCrew() { Join(); }
    WorkerCrew(const WorkerCrew&) = delete;
    WorkerCrew& operator=(const WorkerCrew&) = delete;

    // Runs job(i) for i = 0 .. count - 1, each on a thread of its own. Returns 1 when every thread
    // started; 0 when the system refused one (the threads that did start run their jobs to the end,
    // and Join or the destructor waits for them). job must not throw.
    int Start(unsigned count, std::function<void(unsigned)> job);
    // Returns once every job has returned; meanwhile calls tick on this thread after each Nudge and
    // at least every period, and once more at the end.
    void WaitTicking(std::chrono::milliseconds period, const std::function<void()>& tick);
    // From a job: wakes WaitTicking for a tick now, so that progress and a cancel follow the work
    // rather than the clock.
    void Nudge();
    void Join();

private:
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable finished_;
    unsigned running_ = 0;  // guarded by mutex_
    bool isNudged_ = false;  // guarded by mutex_
};

}  // namespace brindle

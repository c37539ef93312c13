// A task object that owns one thread. Derived tasks implement Run(); the owner starts the thread,
// may ask it to stop (which cancels the task's progress) and waits for it without time limit.
//
// Threads: StartThread, StopThread and the destructor are for the owning (user-interface) thread;
// Run and AfterRun run on the worker.
#pragma once

#include <atomic>
#include <thread>

namespace brindle {

class WorkerThread {
public:
    WorkerThread() = default;
    // Stops the thread and waits for it.
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool IsStopRequested() const { return stopRequested_.load(); }
    // When a thread exists: requests a stop, cancels the task's progress if Run is under way, and
    // returns 1. Returns 0 when there is no thread.
    int StopThread();
    // The work; nonzero on success. An exception escaping it counts as failure.
    virtual int Run() = 0;
    // On the worker once Run has returned, with its result.
    virtual void AfterRun(int /*result*/) {}
    // Called by StopThread with its result: a task with a Progress cancels it when flag is set and
    // the task is running.
    virtual void CancelProgress(int /*flag*/) {}

    // Waits for a previous thread if one exists, then starts a new one. 1 when it started.
    int StartThread();

    // Process-wide: threads started from now on lower their own scheduling priority by `increment`
    // nice steps (0, the default, leaves it), and every thread they start in turn has it too. This
    // is how the editor, on a machine with a core to spare, keeps its window answering while a load
    // or save keeps every core busy, instead of making the work pause (YieldPacer).
    static void SetBackgroundNice(int increment);
    static int BackgroundNice();
    // The editor's choice: low enough for the window to win the processor whenever it wakes, not so
    // low that other programs' work starves a save.
    static constexpr int kBackgroundNice = 10;
    // Blocks until the thread (if any) has ended.
    void Wait();
    bool IsRunning() const { return running_.load(); }

protected:
    // For destructors of derived tasks: their overrides are gone by the time ~WorkerThread runs.
    void StopAndWait();

private:
    void ThreadProc();

    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace brindle

#include "tasks/worker_thread.h"

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>
#include <unistd.h>

namespace brindle {
namespace {

std::atomic<int> backgroundNice{0};

// On Linux a nice value belongs to one thread (setpriority with its id), and the threads it creates
// start with it. Raising it needs no privilege; a failure leaves the priority as it was.
void LowerThisThreadsPriority(int increment)
{
    const id_t self = id_t(::gettid());
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, self);
    if (errno == 0)
        (void)::setpriority(PRIO_PROCESS, self, std::min(current + increment, 19));
}

}  // namespace

void WorkerThread::SetBackgroundNice(int increment) { backgroundNice.store(std::max(increment, 0)); }

int WorkerThread::BackgroundNice() { return backgroundNice.load(); }

WorkerThread::~WorkerThread() { StopAndWait(); }

int WorkerThread::StopThread()
{
    int result = 0;
    if (thread_.joinable()) {
        stopRequested_ = true;
        result = 1;
    }
    CancelProgress(result);
    return result;
}

int WorkerThread::StartThread()
{
    if (StopThread())
        Wait();
    stopRequested_ = false;
    try {
        thread_ = std::thread(&WorkerThread::ThreadProc, this);
    } catch (...) {
        return 0;
    }
    return 1;
}

void WorkerThread::Wait()
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

void WorkerThread::StopAndWait()
{
    if (StopThread())
        Wait();
}

void WorkerThread::ThreadProc()
{
    if (const int increment = backgroundNice.load())
        LowerThisThreadsPriority(increment);
    int result = 0;
    try {
        running_ = true;
        // A stop requested after the thread started but before it was running would otherwise be
        // lost: StopThread cancels only a running task. Both flags are sequentially consistent, so
        // either this load or StopThread's sees the other's store.
        if (IsStopRequested())
            CancelProgress(1);
        result = Run();
    } catch (...) {
        result = 0;
    }
    running_ = false;
    try {
        AfterRun(result);
    } catch (...) {
    }
}

}  // namespace brindle

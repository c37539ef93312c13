#include "tasks/worker_thread.h"

namespace brindle {

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

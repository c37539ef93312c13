#include "tasks/worker_crew.h"

#include <sched.h>

namespace brindle {

unsigned UsableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return unsigned(CPU_COUNT(&set));
    const unsigned online = std::thread::hardware_concurrency();
    return online > 0 ? online : 1;
}

int WorkerCrew::Start(unsigned count, std::function<void(unsigned)> job)
{
    threads_.reserve(threads_.size() + count);
    for (unsigned i = 0; i < count; ++i) {
        {
            std::lock_guard lock(mutex_);
            ++running_;
        }
        try {
            threads_.emplace_back([this, job, i] {
                job(i);
                std::lock_guard lock(mutex_);
                --running_;
                finished_.notify_all();
            });
        } catch (...) {
            std::lock_guard lock(mutex_);
            --running_;
            return 0;
        }
    }
    return 1;
}

void WorkerCrew::WaitTicking(std::chrono::milliseconds period, const std::function<void()>& tick)
{
    for (;;) {
        bool done = false;
        {
            std::unique_lock lock(mutex_);
            finished_.wait_for(lock, period, [this] { return running_ == 0 || isNudged_; });
            done = running_ == 0;
            isNudged_ = false;
        }
        tick();
        if (done)
            break;
    }
    Join();
}

void WorkerCrew::Nudge()
{
    std::lock_guard lock(mutex_);
    isNudged_ = true;
    finished_.notify_all();
}

void WorkerCrew::Join()
{
    for (std::thread& thread : threads_) {
        if (thread.joinable())
            thread.join();
    }
    threads_.clear();
}

}  // namespace brindle

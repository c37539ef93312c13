// A device's notifications handed from the device thread to the test's thread, in order: for the
// tests and measurements that run a real (ALSA) device rather than the fake one.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "playback/wave_out_device.h"

namespace brindle::test {

class WaitingSink final : public WaveOutEventSink {
public:
    void Post(const WaveOutEvent& event) override
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        posted_.notify_one();
    }
    // The next notification; false when none came within wait (a hanging device, or a poll).
    bool Next(WaveOutEvent& event, std::chrono::milliseconds wait = std::chrono::seconds(30))
    {
        std::unique_lock lock(mutex_);
        if (!posted_.wait_for(lock, wait, [this] { return !events_.empty(); }))
            return false;
        event = events_.front();
        events_.pop_front();
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<WaveOutEvent> events_;
};

}  // namespace brindle::test

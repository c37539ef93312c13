// An in-process wave-output device for tests: it "plays" on a clock the test advances, records every
// frame it plays, and keeps its notifications in a queue the test delivers when it chooses. No thread,
// no sound card, no sleeping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "playback/wave_out_device.h"

namespace brindle {

class PlaybackEngine;

// A sink that holds notifications until DeliverAll hands them to an engine, in order.
class QueuedEventSink : public WaveOutEventSink {
public:
    QueuedEventSink() { events_.reserve(16); }
    void Post(const WaveOutEvent& event) override { events_.push_back(event); }
    // Delivers every queued notification, also those posted while delivering. Returns how many.
    size_t DeliverAll(PlaybackEngine& engine);
    bool Empty() const { return events_.empty(); }

private:
    std::vector<WaveOutEvent> events_;
};

class FakeWaveOut : public WaveOutDevice {
public:
    // Room for this many played samples is reserved up front, so recording allocates nothing.
    explicit FakeWaveOut(size_t reserveSamples = 0)
    {
        played.reserve(reserveSamples);
        writtenBytes.reserve(256);
    }

    int Open(const PcmFormat16& format, WaveOutEventSink& sink) override;
    int Write(WaveBlock& block) override;
    int Pause() override;
    int Restart() override;
    int Reset() override;
    int Close() override;
    int GetPosition(uint32_t& frames) const override;

    // The clock: plays up to frames frames from the queued blocks (none while paused or closed).
    // A block is "done" once its last frame has played. Returns the frames played.
    uint32_t Advance(uint32_t frames);
    bool IsOpen() const { return sink_ != nullptr; }
    bool IsPaused() const { return paused_; }
    size_t QueuedBlocks() const { return queueSize_; }

    bool failOpen = false;
    PcmFormat16 format;
    std::vector<int16_t> played;        // every sample played since construction, interleaved
    std::vector<uint32_t> writtenBytes; // the byte length of every block written, in order
    int opens = 0;

private:
    static constexpr size_t kQueueCapacity = 8;
    WaveOutEventSink* sink_ = nullptr;
    WaveBlock* queue_[kQueueCapacity] = {};
    size_t queueSize_ = 0;
    uint32_t frontOffset_ = 0;  // bytes of the front block already played
    uint32_t position_ = 0;
    bool paused_ = false;
};

}  // namespace brindle

#include "playback/fake_wave_out.h"

#include <algorithm>

#include "playback/playback_engine.h"

namespace brindle {

size_t QueuedEventSink::DeliverAll(PlaybackEngine& engine)
{
    size_t delivered = 0;
    while (!events_.empty()) {
        const WaveOutEvent event = events_.front();
        events_.erase(events_.begin());
        engine.HandleDeviceEvent(event);
        ++delivered;
    }
    return delivered;
}

int FakeWaveOut::Open(const PcmFormat16& wanted, WaveOutEventSink& sink)
{
    if (failOpen || sink_ || (wanted.channels != 1 && wanted.channels != 2) || wanted.sampleRate == 0)
        return 0;
    format = wanted;
    sink_ = &sink;
    position_ = 0;
    paused_ = false;
    ++opens;
    sink_->Post({WaveOutEventKind::Opened, nullptr});
    return 1;
}

int FakeWaveOut::Write(WaveBlock& block)
{
    if (!sink_ || queueSize_ == kQueueCapacity || !block.data || block.byteCount % format.BlockAlign() != 0)
        return 0;
    queue_[queueSize_++] = &block;
    writtenBytes.push_back(block.byteCount);
    return 1;
}

int FakeWaveOut::Pause()
{
    if (!sink_)
        return 0;
    paused_ = true;
    return 1;
}

int FakeWaveOut::Restart()
{
    if (!sink_)
        return 0;
    paused_ = false;
    return 1;
}

int FakeWaveOut::Reset()
{
    if (!sink_)
        return 0;
    for (size_t i = 0; i < queueSize_; ++i)
        sink_->Post({WaveOutEventKind::BlockDone, queue_[i]});
    queueSize_ = 0;
    frontOffset_ = 0;
    position_ = 0;
    paused_ = false;
    return 1;
}

int FakeWaveOut::Close()
{
    if (!sink_ || queueSize_ != 0)
        return 0;
    WaveOutEventSink* sink = sink_;
    sink_ = nullptr;
    paused_ = false;
    sink->Post({WaveOutEventKind::Closed, nullptr});
    return 1;
}

int FakeWaveOut::GetPosition(uint32_t& frames) const
{
    if (!sink_)
        return 0;
    frames = position_;
    return 1;
}

uint32_t FakeWaveOut::Advance(uint32_t frames)
{
    uint32_t done = 0;
    const uint32_t align = format.BlockAlign();
    while (sink_ && !paused_ && done < frames && queueSize_ > 0) {
        WaveBlock* front = queue_[0];
        const uint32_t left = (front->byteCount - frontOffset_) / align;
        const uint32_t take = std::min(left, frames - done);
        const int16_t* from = front->data + frontOffset_ / 2;
        played.insert(played.end(), from, from + size_t(take) * format.channels);
        frontOffset_ += take * align;
        position_ += take;
        done += take;
        if (frontOffset_ == front->byteCount) {
            std::copy(queue_ + 1, queue_ + queueSize_, queue_);
            --queueSize_;
            frontOffset_ = 0;
            sink_->Post({WaveOutEventKind::BlockDone, front});
        }
    }
    return done;
}

}  // namespace brindle

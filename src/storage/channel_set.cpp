#include "storage/channel_set.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "storage/sample_conversion.h"
#include "tasks/progress.h"

namespace brindle {

int ChannelSet::Allocate(uint16_t channels, uint32_t frames, uint32_t rate)
{
    if ((channels != 1 && channels != 2) || frames == 0 || rate == 0 || !IsEmpty())
        return 0;
    channelCount_ = channels;
    frameCount_ = frames;
    sampleRate_ = rate;
    for (int c = 0; c < channels; ++c) {
        if (!channel_[c].Allocate(frames)) {
            Reset();
            return 0;
        }
    }
    return 1;
}

int ChannelSet::Resize(uint32_t frames)
{
    if (channelCount_ == 0)
        return 0;
    for (int c = 0; c < channelCount_; ++c) {
        if (!channel_[c].Resize(frames))
            return 0;
    }
    frameCount_ = frames;
    return 1;
}

void ChannelSet::Reset()
{
    channelCount_ = 0;
    frameCount_ = 0;
    sampleRate_ = 0;
    channel_[0].Destroy();
    channel_[1].Destroy();
}

int ChannelSet::CopyFrom(const ChannelSet& source, Progress* progress)
{
    if (&source == this)
        return FinishProgress(progress, 1);
    if (IsCancelled(progress))
        return FinishProgress(progress, 0);
    if (!IsEmpty())
        Reset();
    if (source.IsEmpty())
        return FinishProgress(progress, 1);
    if (!source.IsValid())
        return FinishProgress(progress, 0);
    channelCount_ = source.channelCount_;
    frameCount_ = source.frameCount_;
    sampleRate_ = source.sampleRate_;
    bool ok = channel_[0].CopyFrom(source.channel_[0]) && !IsCancelled(progress);
    if (ok && channelCount_ == 2)
        ok = channel_[1].CopyFrom(source.channel_[1]);
    if (!ok)
        Reset();
    return FinishProgress(progress, ok);
}

void ChannelSet::MoveFrom(ChannelSet& other)
{
    if (&other == this)
        return;
    Reset();
    channelCount_ = std::exchange(other.channelCount_, 0);
    frameCount_ = std::exchange(other.frameCount_, 0);
    sampleRate_ = std::exchange(other.sampleRate_, 0);
    channel_[0].MoveFrom(other.channel_[0]);
    channel_[1].MoveFrom(other.channel_[1]);
}

int ChannelSet::Adopt(uint16_t count, uint32_t rate, ChannelStore* stores)
{
    if ((count != 1 && count != 2) || rate == 0 || !stores || !stores[0].IsReady() ||
        (count == 2 && (!stores[1].IsReady() || stores[1].StoredLength() != stores[0].StoredLength())))
        return 0;
    Reset();
    channelCount_ = count;
    frameCount_ = stores[0].StoredLength();
    sampleRate_ = rate;
    for (int c = 0; c < count; ++c)
        channel_[c].MoveFrom(stores[c]);
    return 1;
}

int ChannelSet::DuplicateToStereo()
{
    if (!IsMono() || !channel_[1].CopyFrom(channel_[0]))
        return 0;
    channelCount_ = 2;
    return 1;
}

int ChannelSet::DropChannel1()
{
    if (channel_[1].IsEmpty())
        return 0;
    channel_[1].Destroy();
    if (channelCount_ == 2) {
        channelCount_ = 1;
    } else {
        channelCount_ = 0;
        frameCount_ = 0;
        sampleRate_ = 0;
    }
    return 1;
}

uint32_t ChannelSet::ReadInterleaved16(int16_t* destination, uint32_t capacity, uint32_t startFrame) const
{
    if (!destination || !IsValid() || capacity == 0 || capacity % channelCount_ != 0 ||
        startFrame >= frameCount_)
        return 0;
    const uint32_t frames = std::min(capacity / channelCount_, frameCount_ - startFrame);
    thread_local std::vector<float> samples;
    samples.resize(std::min(frames, kBlockSamples));
    uint32_t done = 0;
    while (done < frames) {
        const uint32_t frame = startFrame + done;
        const uint32_t block = frame / kBlockSamples;
        const uint32_t inBlock = frame - block * kBlockSamples;
        const uint32_t piece = std::min(frames - done, kBlockSamples - inBlock);
        for (int c = 0; c < channelCount_; ++c) {
            if (!channel_[c].ReadSamples(frame, samples.data(), piece))
                return 0;
            int16_t* out = destination + size_t(done) * channelCount_ + c;
            if constexpr (std::endian::native == std::endian::little) {
                // Native words are the little-endian bytes the block conversion writes.
                ConvertFloatToS16Le(samples.data(), piece, reinterpret_cast<uint8_t*>(out), size_t(channelCount_));
            } else {
                for (uint32_t k = 0; k < piece; ++k)
                    out[size_t(k) * channelCount_] = FloatToS16(samples[k]);
            }
        }
        done += piece;
    }
    return frames * channelCount_;
}

bool ChannelSet::IsEmpty() const
{
    return channelCount_ == 0 && frameCount_ == 0 && sampleRate_ == 0 && channel_[0].IsEmpty() &&
           channel_[1].IsEmpty();
}

bool ChannelSet::IsValid() const
{
    if ((channelCount_ != 1 && channelCount_ != 2) || frameCount_ == 0 || sampleRate_ == 0)
        return false;
    return channel_[0].IsReady() && (channelCount_ == 1 || channel_[1].IsReady());
}


}  // namespace brindle

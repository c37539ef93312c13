// The samples of one sound: one or two channel stores of equal length and their sample rate.
//
// Threads: the const members (reads, and copying from this set into another) may run on several
// threads at once while no thread changes the set; the others belong to one thread, with readers
// stopped.
#pragma once

#include <cstdint>

#include "storage/channel_store.h"

namespace brindle {

class Progress;

class ChannelSet {
public:
    ChannelSet() = default;
    ChannelSet(const ChannelSet&) = delete;
    ChannelSet& operator=(const ChannelSet&) = delete;

    // channels 1 or 2, frames and rate non-zero, set empty; zero-filled stores. On failure the set is reset.
    int Allocate(uint16_t channels, uint32_t frames, uint32_t rate);
    // Empty again; the stores' temporary files are deleted.
    void Reset();
    // Every channel to frames frames (see BlockFile::Resize), for a sound whose length is known only
    // once it has been read. On failure the channels may differ in length: Reset the set.
    int Resize(uint32_t frames);
    // An independent copy of source, store by store. progress gets Complete or Fail.
    int CopyFrom(const ChannelSet& source, Progress* progress = nullptr);
    // Takes over other's fields and stores; other is left empty.
    void MoveFrom(ChannelSet& other);
    // Takes count channels (1 or 2, of equal non-zero length) from stores as the set's, leaving stores
    // empty: for channels made elsewhere (an edit's result, a file read in place). 0, changing
    // nothing, when they do not form a set.
    int Adopt(uint16_t count, uint32_t rate, ChannelStore* stores);
    // ChannelStore::Seal on each channel.
    void Seal() const
    {
        channel_[0].Seal();
        channel_[1].Seal();
    }
    // A mono set gets channel 1 as the same samples as channel 0 (sharing its stores).
    int DuplicateToStereo();
    // Destroys channel 1: stereo becomes mono, mono becomes empty. Fails when channel 1 is empty.
    int DropChannel1();

    // Interleaved 16-bit frames from startFrame into destination (room for capacity samples, a
    // multiple of the channel count). Returns the samples written, 0 on failure.
    uint32_t ReadInterleaved16(int16_t* destination, uint32_t capacity, uint32_t startFrame) const;

    bool IsEmpty() const;
    bool IsValid() const;
    bool IsMono() const { return channelCount_ == 1 && channel_[0].IsReady(); }
    bool IsStereo() const { return channelCount_ == 2 && channel_[0].IsReady() && channel_[1].IsReady(); }

    uint16_t ChannelCount() const { return channelCount_; }
    uint32_t FrameCount() const { return frameCount_; }
    uint32_t SampleRate() const { return sampleRate_; }
    ChannelStore& Channel(int index) { return channel_[index]; }
    const ChannelStore& Channel(int index) const { return channel_[index]; }

private:
    uint16_t channelCount_ = 0;
    uint32_t frameCount_ = 0;
    uint32_t sampleRate_ = 0;
    ChannelStore channel_[2];
};

}  // namespace brindle

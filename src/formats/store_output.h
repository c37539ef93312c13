// Internal to the format readers: the sound's own sample stores, filled with whole frames of
// interleaved floats as a decoder delivers them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "formats/check.h"
#include "formats/wav_file.h"
#include "storage/block_file.h"
#include "storage/sound_buffer.h"
#include "storage/wave_format.h"

namespace brindle::detail {

// Begin once the format and the most frames there can be are known, End with the number written.
// The stores grow as frames arrive (the stated length of a damaged file may be far beyond what it
// holds) and are cut to what was decoded at the end.
class StoreOutput {
public:
    explicit StoreOutput(SoundBuffer& buffer) : buffer_(buffer) {}

    void Begin(const WaveFormat& format, uint64_t mostFrames)
    {
        // The reasons the WAV reader gives for the converted file, before any work.
        Check(CheckLoadableFormat(format));
        Check(mostFrames <= kMaxStoredSamples, "too long to open (over 2^30 frames)");
        buffer_.Clear();
        format_ = format;
        most_ = uint32_t(mostFrames);
        Check(buffer_.channels.Allocate(format.channelCount, std::min(most_, kBlockSamples), format.samplesPerSecond));
    }
    void Write(const float* interleaved, uint32_t frames)
    {
        ChannelSet& channels = buffer_.channels;
        Check(uint64_t(position_) + frames <= most_);
        if (position_ + frames > channels.FrameCount())
            Check(channels.Resize(std::min(most_, std::max(position_ + frames, channels.FrameCount() * 2))));
        const uint16_t count = format_.channelCount;
        while (frames > 0) {
            // A store takes at most the rest of the block a run starts in.
            const uint32_t run = std::min(frames, kBlockSamples - position_ % kBlockSamples);
            samples_.resize(run);
            for (uint16_t c = 0; c < count; ++c) {
                for (uint32_t k = 0; k < run; ++k)
                    samples_[k] = interleaved[size_t(k) * count + c];
                Check(channels.Channel(c).WriteSamples(position_, samples_.data(), run));
            }
            interleaved += size_t(run) * count;
            position_ += run;
            frames -= run;
        }
    }
    void End(uint64_t frames)
    {
        Check(frames == position_);
        if (position_ != buffer_.channels.FrameCount())
            Check(buffer_.channels.Resize(position_));
        buffer_.format = format_;
        buffer_.frameCount = position_;
        buffer_.dataByteCount = position_ * format_.blockAlign;
    }

private:
    SoundBuffer& buffer_;
    WaveFormat format_;
    uint32_t most_ = 0;
    uint32_t position_ = 0;
    std::vector<float> samples_;
};

}  // namespace brindle::detail

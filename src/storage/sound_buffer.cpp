#include "storage/sound_buffer.h"

#include <algorithm>

#include "tasks/progress.h"

namespace brindle {

bool SoundBuffer::IsEmpty() const
{
    return format.IsZero() && frameCount == 0 && dataByteCount == 0 && channels.IsEmpty();
}

bool SoundBuffer::HasSound() const
{
    if (!format.IsValidFormat())
        return false;
    if (format.extraSize != 0 && format.extraBytes.size() != format.extraSize)
        return false;
    if (format.IsUncompressed() && frameCount == 0)
        return false;
    return dataByteCount != 0 && channels.IsValid();
}

double SoundBuffer::DurationSeconds() const
{
    if (channels.SampleRate() == 0)
        return 0.0;
    return double(channels.FrameCount()) / double(channels.SampleRate());
}

namespace {

// The record of 16-bit PCM with these counts; false when it would not fit a WAV's fields.
bool MakePcm16Format(bool stereo, uint32_t frames, uint32_t rate, WaveFormat& format, uint32_t& dataBytes)
{
    const uint16_t channelCount = stereo ? 2 : 1;
    const uint16_t blockAlign = uint16_t(2 * channelCount);
    const uint64_t byteRate = uint64_t(rate) * blockAlign;
    const uint64_t bytes = uint64_t(frames) * blockAlign;
    if (byteRate > UINT32_MAX || bytes > UINT32_MAX || frames > kMaxStoredSamples)
        return false;
    format.formatTag = 1;
    format.channelCount = channelCount;
    format.samplesPerSecond = rate;
    format.avgBytesPerSecond = uint32_t(byteRate);
    format.blockAlign = blockAlign;
    format.bitsPerSample = 16;
    format.extraSize = 0;
    format.extraBytes.clear();
    dataBytes = uint32_t(bytes);
    return true;
}

}  // namespace

int SoundBuffer::CreateSilent(bool stereo, uint32_t frames, uint32_t rate)
{
    if (frames == 0 || rate == 0 || !IsEmpty())
        return 0;
    if (!MakePcm16Format(stereo, frames, rate, format, dataByteCount))
        return 0;
    frameCount = frames;
    return channels.Allocate(stereo ? 2 : 1, frames, rate);
}

void SoundBuffer::Clear()
{
    format.Clear();
    frameCount = 0;
    dataByteCount = 0;
    channels.Reset();
}

int SoundBuffer::CopyFrom(const SoundBuffer& source)
{
    if (&source == this)
        return 1;
    if (!IsEmpty())
        Clear();
    if (source.IsEmpty())
        return 1;
    if (!source.HasSound())
        return 0;
    format = source.format;
    frameCount = source.frameCount;
    dataByteCount = source.dataByteCount;
    if (!channels.CopyFrom(source.channels)) {
        Clear();
        return 0;
    }
    return 1;
}

void SoundBuffer::TakeFrom(SoundBuffer& other)
{
    if (&other == this)
        return;
    Clear();
    format = std::move(other.format);
    frameCount = other.frameCount;
    dataByteCount = other.dataByteCount;
    channels.MoveFrom(other.channels);
    other.Clear();
}

int SoundBuffer::DeleteRange(int64_t start, int64_t end, bool removeInside)
{
    if (IsEmpty() || !HasSound())
        return 0;
    const int64_t n = frameCount;
    start = std::clamp<int64_t>(start, 0, n);
    end = std::clamp<int64_t>(end, 0, n);
    if (end - start <= 0)
        return 0;
    const int64_t m = removeInside ? n - (end - start) : end - start;
    const uint16_t channelCount = channels.ChannelCount();

    // Only the piece lists change: the kept samples stay in the stores they are in.
    WaveFormat kept;
    uint32_t keptBytes = 0;
    ChannelStore keptChannels[2];
    if (m <= 0 || !MakePcm16Format(channelCount == 2, uint32_t(m), format.samplesPerSecond, kept, keptBytes))
        return 0;
    for (int c = 0; c < channelCount; ++c) {
        if (removeInside) {
            keptChannels[c].CopyFrom(channels.Channel(c));
            if (!keptChannels[c].Splice(start, end, ChannelStore()))
                return 0;
        } else {
            keptChannels[c].Slice(channels.Channel(c), start, end);
        }
    }
    // Widening 8 bits to 16 costs nothing, and is what a cut has always given; anything finer keeps
    // its own resolution, or the next save would throw away what the user cut around.
    if (format.bitsPerSample > 16) {
        kept = format;
        keptBytes = uint32_t(std::min<uint64_t>(uint64_t(m) * format.blockAlign, UINT32_MAX));
    }
    if (!channels.Adopt(channelCount, channels.SampleRate(), keptChannels))
        return 0;
    format = std::move(kept);
    frameCount = uint32_t(m);
    dataByteCount = keptBytes;
    return 1;
}

}  // namespace brindle

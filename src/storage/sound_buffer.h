// One sound: its format as it will be written to a WAV file, and its float samples in temporary files.
//
// Operations return 1 on success (also when there was nothing to do) and 0 on failure; none throws.
// Frame ranges are half-open [start, end). A buffer must not be used by two threads at once.
#pragma once

#include <cstdint>

#include "storage/channel_set.h"
#include "storage/wave_format.h"

namespace brindle {

class Progress;

class SoundBuffer {
public:
    SoundBuffer() = default;
    SoundBuffer(const SoundBuffer&) = delete;
    SoundBuffer& operator=(const SoundBuffer&) = delete;

    bool IsEmpty() const;
    bool HasSound() const;
    bool IsMono() const { return channels.IsMono(); }
    bool IsStereo() const { return channels.IsStereo(); }
    // Seconds of sound; 0 for an empty buffer.
    double DurationSeconds() const;
    uint32_t FrameCount() const { return frameCount; }

    // A 16-bit PCM sound of frames zero frames. Needs an empty buffer, frames and rate non-zero. If the
    // samples cannot be allocated the result is 0 and the format stays set (Clear such a buffer).
    int CreateSilent(bool stereo, uint32_t frames, uint32_t rate);
    // Empty again; temporary files deleted.
    void Clear();
    // An independent copy of source. On failure this buffer is cleared.
    int CopyFrom(const SoundBuffer& source);
    // Takes over other's format, counts and samples without copying; other is left empty.
    void TakeFrom(SoundBuffer& other);

    // removeInside: deletes [start, end); otherwise keeps only [start, end). The range is clamped to
    // the sound; an empty range fails (so no selection, -1 -1, fails). An 8-bit sound comes out as
    // 16-bit PCM; every other keeps its format. Any failure leaves the buffer as it was.
    int DeleteRange(int64_t start, int64_t end, bool removeInside);

    uint32_t ReadInterleaved16(int16_t* destination, uint32_t capacity, uint32_t startFrame)
    {
        return channels.ReadInterleaved16(destination, capacity, startFrame);
    }

    WaveFormat format;
    uint32_t frameCount = 0;
    uint32_t dataByteCount = 0;  // non-zero for a sound; set by creation or import, not by every edit
    ChannelSet channels;
};

}  // namespace brindle

// Internal to the edit kernels: visits a sample range of a channel block by block, in order.
//
// Kernels read a block with pread into one block-sized scratch buffer and write their results into a
// new float store with pwrite (into the page cache). Storing through a shared file mapping instead
// costs a write fault of several microseconds per 4 KiB page, which made a pass over an hour of
// stereo about ten times slower than the arithmetic; and pread leaves no view that another thread's
// read could remap. The sound is never held whole in memory, and the stores the channel read from are
// left as they were: the undo steps and any reader on another thread still see them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "storage/channel_store.h"
#include "tasks/progress.h"

namespace brindle::detail {

// The long edit running on this thread, if any: every pass over samples reports its blocks here and
// stops at the first block after a cancel. The kernels keep their sample-level signatures; the edit
// that runs them (sound_edits.cpp) sets the meter up for the samples its passes will read.
class EditMeter {
public:
    EditMeter(Progress* progress, int64_t samples) : progress_(progress), samples_(std::max<int64_t>(samples, 1))
    {
        previous_ = current_;
        current_ = this;
    }
    ~EditMeter() { current_ = previous_; }
    EditMeter(const EditMeter&) = delete;
    EditMeter& operator=(const EditMeter&) = delete;

    // count samples were read: false once the edit is cancelled.
    static bool Step(int64_t count)
    {
        EditMeter* meter = current_;
        if (!meter || !meter->progress_)
            return true;
        if (meter->progress_->IsCancelled())
            return false;
        meter->done_ = std::min(meter->done_ + count, meter->samples_);
        meter->progress_->SetPercent(float(double(meter->done_) * 100.0 / double(meter->samples_)));
        return true;
    }

private:
    static inline thread_local EditMeter* current_ = nullptr;
    EditMeter* previous_;
    Progress* progress_;
    int64_t samples_;
    int64_t done_ = 0;
};

// |x| as its bit pattern, which for non-negative floats orders exactly as the values do; 0 for NaN
// and the infinities, so that a damaged sample never sets a peak. Peak searches take the integer
// maximum of these, which vectorises where a floating-point compare-and-keep loop does not.
inline int32_t FiniteMagnitudeBits(float x)
{
    const int32_t magnitude = std::bit_cast<int32_t>(x) & 0x7fffffff;
    return magnitude < 0x7f800000 ? magnitude : 0;
}

inline float FromMagnitudeBits(int32_t bits) { return std::bit_cast<float>(bits); }

// Calls visit(samples, count) for each piece of [start, end) that lies in one block, in order;
// samples points at a copy of the piece read with pread (so several threads may walk one store at
// once while nobody writes it), which visit may change; it stays valid only during the call. visit returns false to stop
// with a failure. Returns 0 as soon as a piece cannot be read, visit fails or the edit is cancelled
// (earlier pieces have been visited), else 1.
template <class Visit>
int ReadPieces(const ChannelStore& store, int64_t start, int64_t end, Visit&& visit)
{
    if (end <= start)
        return 1;
    thread_local std::vector<float> piece;
    piece.resize(size_t(std::min<int64_t>(end - start, kBlockSamples)));
    const int64_t blockCount = store.BlockCount();
    for (int64_t i = start / kBlockSamples; i < blockCount && i * kBlockSamples < end; ++i) {
        const int64_t blockStart = i * kBlockSamples;
        const int64_t lo = std::max(start, blockStart);
        const int64_t hi = std::min(blockStart + int64_t(store.SamplesInBlock(i)), end);
        if (lo >= hi)
            continue;
        if (!EditMeter::Step(0) || !store.ReadSamples(uint32_t(lo), piece.data(), uint32_t(hi - lo)) ||
            !visit(piece.data(), hi - lo) || !EditMeter::Step(hi - lo))
            return 0;
    }
    return 1;
}

// Replaces each sample of [start, end) by transform's result: transform(in, out, count) reads count
// samples at in and writes count results to out (the same buffer: out[k] may depend only on in[k]),
// piece by piece in order as ReadPieces visits them. The results go into a new store that takes the
// range's place once every sample is written, so a failure leaves the channel as it was. With
// inPlace, a channel still being written (only ever a store the running edit made itself) is
// changed where it is instead. Returns 0 as soon as a piece cannot be read or written or the edit is
// cancelled; else 1.
template <class Transform>
int TransformPieces(ChannelStore& store, int64_t start, int64_t end, Transform&& transform, bool inPlace = false)
{
    if (end <= start)
        return 1;
    ChannelStore fresh;
    const bool here = inPlace && store.IsWritable();
    ChannelStore& target = here ? store : fresh;
    if (!here && !fresh.Allocate(uint32_t(end - start)))
        return 0;
    int64_t position = here ? start : 0;
    const int read = ReadPieces(store, start, end, [&](float* samples, int64_t count) {
        transform(samples, samples, count);
        if (!target.WriteSamples(uint32_t(position), samples, uint32_t(count)))
            return false;
        position += count;
        return true;
    });
    return read && (here || store.Splice(start, end, fresh));
}

}  // namespace brindle::detail

// Internal to the edit kernels: visits a sample range of a compact channel store block by block, in
// order.
//
// Kernels read a block with pread into one block-sized scratch buffer and write their results back
// with ChannelStore::WriteSamples (pwrite into the same page cache). Storing through a shared file
// mapping instead costs a write fault of several microseconds per 4 KiB page, which made an in-place
// pass over an hour of stereo about ten times slower than the arithmetic; and pread leaves no view
// that another thread's read could remap. The samples are changed in place in the channel's file,
// one block at a time, and the sound is never held whole in memory.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "storage/channel_store.h"

namespace brindle::detail {

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
// with a failure. Returns 0 as soon as a piece cannot be read or visit fails (earlier pieces have
// been visited), else 1.
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
        if (!store.ReadSamples(uint32_t(lo), piece.data(), uint32_t(hi - lo)) || !visit(piece.data(), hi - lo))
            return 0;
    }
    return 1;
}

// Replaces each sample of [start, end) by transform's result: transform(in, out, count) reads count
// samples at in and writes count results to out (the same buffer: out[k] may depend only on in[k]),
// piece by piece in order as ReadPieces visits them. Returns 0 as soon as a piece cannot be read or
// written (earlier pieces stay changed), else 1.
template <class Transform>
int TransformPieces(ChannelStore& store, int64_t start, int64_t end, Transform&& transform)
{
    int64_t position = start;
    return ReadPieces(store, start, end, [&](float* samples, int64_t count) {
        transform(samples, samples, count);
        if (!store.WriteSamples(uint32_t(position), samples, uint32_t(count)))
            return false;
        position += count;
        return true;
    });
}

}  // namespace brindle::detail

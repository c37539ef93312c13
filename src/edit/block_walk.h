// Internal to the edit kernels: visits a sample range of a compact channel store block by block,
// mapping each block once, in order.
//
// Kernels read through the mapped view and write their results back with ChannelStore::WriteSamples
// (pwrite into the same page cache) from one block-sized scratch buffer: on Linux a write fault on a
// shared file mapping costs several microseconds per 4 KiB page, so storing through the view made
// an in-place pass over an hour of stereo about ten times slower than the arithmetic. The samples
// are still changed in place in the channel's file, one block at a time, and the sound is never
// copied.
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
// samples points at the piece's first sample inside the mapped block and stays valid only during
// the call. Only the part of a block up to the range's end is mapped. visit returns false to stop
// with a failure. Returns 0 as soon as a block cannot be mapped or visit fails (earlier pieces have
// been visited), else 1.
template <class Visit>
int ReadPieces(ChannelStore& store, int64_t start, int64_t end, Visit&& visit)
{
    const int64_t blockCount = store.BlockCount();
    for (int64_t i = start / kBlockSamples; i < blockCount && i * kBlockSamples < end; ++i) {
        const int64_t blockStart = i * kBlockSamples;
        const int64_t lo = std::max(start, blockStart);
        const int64_t hi = std::min(blockStart + int64_t(store.SamplesInBlock(i)), end);
        if (lo >= hi)
            continue;
        const float* block = store.BlockPointer(i, (hi - blockStart) * int64_t(sizeof(float)));
        if (!block || !visit(block + (lo - blockStart), hi - lo))
            return 0;
    }
    return 1;
}

// Replaces each sample of [start, end) by transform's result: transform(in, out, count) reads count
// samples at in and writes count results to out, piece by piece in order as ReadPieces visits them.
// Returns 0 as soon as a block cannot be mapped or written (earlier pieces stay changed), else 1.
template <class Transform>
int TransformPieces(ChannelStore& store, int64_t start, int64_t end, Transform&& transform)
{
    if (end <= start)
        return 1;
    std::vector<float> scratch(size_t(std::min<int64_t>(end - start, kBlockSamples)));
    int64_t position = start;
    return ReadPieces(store, start, end, [&](const float* in, int64_t count) {
        transform(in, scratch.data(), count);
        if (!store.WriteSamples(uint32_t(position), scratch.data(), uint32_t(count)))
            return false;
        position += count;
        return true;
    });
}

}  // namespace brindle::detail

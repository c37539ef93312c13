// Internal to the edit kernels: visits a sample range of a compact channel store block by block,
// mapping each block once, in order.
#pragma once

#include <algorithm>
#include <cstdint>

#include "storage/channel_store.h"

namespace brindle::detail {

// Calls visit(samples, count) for each piece of [start, end) that lies in one block, in order;
// samples points at the piece's first sample inside the mapped block and stays valid only during
// the call. Only the part of a block up to the range's end is mapped. Returns 0 as soon as a block
// cannot be mapped (earlier pieces have been visited), else 1.
template <class Visit>
int ForEachBlockPiece(ChannelStore& store, int64_t start, int64_t end, Visit&& visit)
{
    const int64_t blockCount = store.BlockCount();
    for (int64_t i = start / kBlockSamples; i < blockCount && i * kBlockSamples < end; ++i) {
        const int64_t blockStart = i * kBlockSamples;
        const int64_t lo = std::max(start, blockStart);
        const int64_t hi = std::min(blockStart + int64_t(store.SamplesInBlock(i)), end);
        if (lo >= hi)
            continue;
        float* block = store.BlockPointer(i, (hi - blockStart) * int64_t(sizeof(float)));
        if (!block)
            return 0;
        visit(block + (lo - blockStart), hi - lo);
    }
    return 1;
}

}  // namespace brindle::detail

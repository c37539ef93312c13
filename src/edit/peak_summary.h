// A sound's peaks in fixed buckets of frames, from which the waveform's column peaks at any width
// follow without another pass over every sample.
//
// The waveform is drawn from ComputeColumnPeaks over the whole sound, one pass over all samples; for
// an hour of stereo that is 1.3 GB of floats, too much to redo on every change of the window's width,
// or after every cut. PeakSummary keeps, for every store the sound's pieces point into, each bucket's
// largest and smallest sample, the buckets aligned to the store's own first sample. A column then
// folds the whole buckets that lie inside it piece by piece, and raw samples only at its two edges and
// at the pieces' edges. A cut, an undo or a redo only changes which ranges of which stores the pieces
// cover, so it needs no new pass; an edit that writes a new store needs a pass over that store only.
// The answer equals ComputeColumnPeaks exactly, column for column: largest and smallest are
// order-free, and the frame that opens a column (which is not folded in) is always read from the raw
// edge.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "edit/column_peaks.h"

namespace brindle {

class ChannelSet;
class Progress;
class SampleStore;

class PeakSummary {
public:
    // Frames per bucket. 256 keeps an hour of stereo at about 10 MB and a column's raw edges within
    // one small read each.
    static constexpr uint32_t kBucketFrames = 256;

    // A pass over every store of channels' pieces that has no buckets yet; buckets of stores that no
    // longer exist are dropped. 1, or 0 for an invalid set, a failed read or a cancel of progress,
    // polled between blocks (then the stores read so far keep their buckets). Reads with pread only:
    // any thread, while no thread changes the set. Two long stores are read on two threads.
    int Build(const ChannelSet& channels, const Progress* progress = nullptr);
    void Clear();
    // Every store of channels' pieces has its buckets.
    bool IsBuiltFor(const ChannelSet& channels) const;
    bool IsBuilt() const { return !stores_.empty(); }

    // What ComputeColumnPeaks(channels, 0, frame count, columnCount, peaks) gives. 0 when the summary
    // is not built for channels or the column count is 0 (peaks empty), or when a read fails (the
    // columns finished before it stay).
    int ComputeColumns(const ChannelSet& channels, uint32_t columnCount, std::array<std::vector<PeakColumn>, 2>& peaks) const;
    // The same for frames [firstFrame, endFrame) only: what ComputeColumnPeaks(channels, firstFrame,
    // endFrame, columnCount, peaks) gives, the range clamped to the sound. Reads raw samples only at
    // the columns' edges, so a zoomed view costs about as much as the whole sound at the same width.
    // 0 as above, and for an empty range.
    int ComputeColumns(const ChannelSet& channels, int64_t firstFrame, int64_t endFrame, uint32_t columnCount,
                       std::array<std::vector<PeakColumn>, 2>& peaks) const;

    // The buckets held, over every store.
    size_t BucketCount() const;

private:
    struct StoreBuckets {
        std::weak_ptr<const SampleStore> store;  // a freed store's address may come back: checked
        std::shared_ptr<const std::vector<PeakColumn>> buckets;
    };
    const std::vector<PeakColumn>* BucketsOf(const std::shared_ptr<const SampleStore>& store) const;

    // Per store: the folds of each bucket's samples from (0, 0), NaN skipped, not yet limited to full
    // scale (limiting happens once per column, as ComputeColumnPeaks does). Copies share the buckets.
    std::unordered_map<const SampleStore*, StoreBuckets> stores_;
};

}  // namespace brindle

// A sound's peaks in fixed buckets of frames, from which the waveform's column peaks at any width
// follow without another pass over every sample.
//
// The waveform is drawn from ComputeColumnPeaks over the whole sound, one pass over all samples; for
// an hour of stereo that is 1.3 GB of floats, too much to redo on every change of the window's width.
// PeakSummary makes that pass once (after an open or an edit), keeping each bucket's largest and
// smallest sample, and then answers any width from the buckets that lie wholly inside a column and
// from raw samples only at the column's two edges. The answer equals ComputeColumnPeaks exactly,
// column for column: largest and smallest are order-free, and the frame that opens a column (which
// is not folded in) is always read from the raw edge.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "edit/column_peaks.h"

namespace brindle {

class ChannelSet;
class Progress;

class PeakSummary {
public:
    // Frames per bucket. 256 keeps an hour of stereo at about 10 MB and a column's raw edges within
    // one small read each.
    static constexpr uint32_t kBucketFrames = 256;

    // One pass over every sample of channels. 1, or 0 for an invalid set, a failed read or a cancel
    // of progress, polled between blocks (then the summary is empty). Reads with pread only: any
    // thread, while no thread changes the set. A long stereo sound has its second channel read on a
    // thread of its own, joined before this returns.
    int Build(const ChannelSet& channels, const Progress* progress = nullptr);
    void Clear();
    // Built, and for a set of this shape (the caller knows whether the samples changed since).
    bool IsBuiltFor(const ChannelSet& channels) const;
    bool IsBuilt() const { return channelCount_ > 0; }

    // What ComputeColumnPeaks(channels, 0, frame count, columnCount, peaks) gives, for the set the
    // summary was built from. 0 when the summary is not built for channels or the column count is 0
    // (peaks empty), or when a read fails (the columns finished before it stay).
    int ComputeColumns(const ChannelSet& channels, uint32_t columnCount, std::array<std::vector<PeakColumn>, 2>& peaks) const;
    // The same for frames [firstFrame, endFrame) only: what ComputeColumnPeaks(channels, firstFrame,
    // endFrame, columnCount, peaks) gives, the range clamped to the sound. Reads raw samples only at
    // the columns' edges, so a zoomed view costs about as much as the whole sound at the same width.
    // 0 as above, and for an empty range.
    int ComputeColumns(const ChannelSet& channels, int64_t firstFrame, int64_t endFrame, uint32_t columnCount,
                       std::array<std::vector<PeakColumn>, 2>& peaks) const;

    uint32_t FrameCount() const { return frameCount_; }
    int ChannelCount() const { return channelCount_; }
    size_t BucketCount() const { return buckets_[0].size(); }

private:
    uint32_t frameCount_ = 0;
    int channelCount_ = 0;
    // Per channel, per bucket: the folds of the bucket's samples from (0, 0), NaN skipped, not yet
    // limited to full scale (limiting happens once per column, as ComputeColumnPeaks does).
    std::vector<PeakColumn> buckets_[2];
};

}  // namespace brindle

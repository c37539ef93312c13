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
//
// A piece with a gain (sample_gain.h) reads its store through the gain, so its buckets are those of
// the store and the gain together, kept for the store's range that pieces with that gain cover. A
// gain whose last stage is a constant factor needs no pass: a factor keeps (or, negative, reverses)
// the order of samples, so each bucket's largest and smallest are the factor applied to those below
// it, exactly. A fade's buckets need a pass over the faded range, reading without writing.
// The answer equals ComputeColumnPeaks exactly, column for column: largest and smallest are
// order-free, and the frame that opens a column (which is not folded in) is always read from the raw
// edge.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "edit/column_peaks.h"
#include "storage/piece_tree.h"

namespace brindle {

class ChannelSet;
class Progress;

class PeakSummary {
public:
    // Frames per bucket. 256 keeps an hour of stereo at about 10 MB and a column's raw edges within
    // one small read each.
    static constexpr uint32_t kBucketFrames = 256;

    // A pass over every store of channels' pieces that has no buckets yet; buckets of stores that no
    // longer exist are dropped. 1, or 0 for an invalid set, a failed read or a cancel of progress,
    // polled between blocks (then the stores read so far keep their buckets). Reads with pread only:
    // any thread, while no thread changes the set. Two long stores are read on two threads.
    // With readGains false, buckets that only a pass through a fade could give are left out (and the
    // result is 1 only if none was needed): the edit's own worker makes what costs no reading.
    int Build(const ChannelSet& channels, const Progress* progress = nullptr, bool readGains = true);
    void Clear();
    // Every store of channels' pieces has its buckets, for the gain and the range of each piece.
    bool IsBuiltFor(const ChannelSet& channels) const;
    bool IsBuilt() const { return !stores_.empty(); }

    // What PeakInRange (edit_kernels.h) gives for channel c of channels, reading raw samples only at
    // the range's and the pieces' edges and in buckets that hold an infinity. -1.0 when the summary is
    // not built for channels, for a bad range or a failed read.
    double PeakInRange(const ChannelSet& channels, int c, int64_t start, int64_t end) const;

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

    // The buckets of a store read through a gain (null: the store's own), from bucket `first` on;
    // only those wholly inside the range they were made for hold its samples. A gain's constant
    // factors after its last fade are not applied to the folds, which are those below them and shared
    // with them, but to each fold of whole buckets as it is used (ScaledPair): the same pair, since a
    // factor maps the largest and the smallest of any run of samples to those of the run it makes.
    struct Buckets {
        int64_t first = 0;
        std::shared_ptr<const std::vector<PeakColumn>> folds;
        std::vector<int32_t> scales;
        bool Covers(int64_t lo, int64_t hi) const
        {
            return lo >= first * kBucketFrames && hi <= (first + int64_t(folds->size())) * kBucketFrames;
        }
    };

private:
    struct StoreBuckets {
        std::weak_ptr<const SampleStore> store;  // a freed store's address may come back: checked
        Buckets buckets;
        // By the gain's stages: two pieces with equal gains read the same samples.
        std::map<std::vector<GainStage>, Buckets> gained;
    };
    StoreBuckets* EntryOf(const std::shared_ptr<const SampleStore>& store);
    const StoreBuckets* EntryOf(const std::shared_ptr<const SampleStore>& store) const;
    // The buckets pieces of this store and gain read, null when there are none yet (for that range).
    const Buckets* BucketsOf(const Piece& piece, int64_t lo, int64_t hi) const;
    // Makes the buckets of store under the first `stages` stages of gain over store range [lo, hi).
    bool MakeGained(const std::shared_ptr<const SampleStore>& store, const std::vector<GainStage>& stages, int64_t lo,
                    int64_t hi, const Progress* progress, bool readGains);

    // Per store: the folds of each bucket's samples from (0, 0), NaN skipped, not yet limited to full
    // scale (limiting happens once per column, as ComputeColumnPeaks does). Copies share the buckets.
    std::unordered_map<const SampleStore*, StoreBuckets> stores_;
};

}  // namespace brindle

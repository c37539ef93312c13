#include "edit/peak_summary.h"

#include <algorithm>
#include <system_error>
#include <thread>

#include "edit/peak_fold.h"
#include "storage/channel_set.h"
#include "tasks/progress.h"

namespace brindle {

namespace {

constexpr int64_t kBucket = PeakSummary::kBucketFrames;
// Below about 20 s of stereo a second thread costs more than it saves.
constexpr uint32_t kMinFramesForTwoThreads = 1u << 20;

// A few buckets' worth of one channel's raw samples around the place the columns have reached. The
// columns move forward only, so each edge costs at most one read, and neighbouring edges share it.
class RawWindow {
public:
    RawWindow(const ChannelStore& store, uint32_t frameCount) : store_(store), frameCount_(frameCount) {}

    // Folds frames [first, end) into the pair; false when a read fails.
    bool Fold(int64_t first, int64_t end, float& max, float& min)
    {
        if (first >= end)
            return true;
        if (first < start_ || end > start_ + int64_t(samples_.size())) {
            // Two buckets from the bucket that holds `first` cover any edge and any column narrower
            // than a bucket; a longer run (never asked for by ComputeColumns) gets a read of its own.
            start_ = first / kBucket * kBucket;
            const int64_t want = std::max<int64_t>(end - start_, 2 * kBucket);
            samples_.resize(size_t(std::min<int64_t>(want, int64_t(frameCount_) - start_)));
            if (!store_.ReadSamples(uint32_t(start_), samples_.data(), uint32_t(samples_.size()))) {
                samples_.clear();
                return false;
            }
        }
        detail::FoldPeaks(samples_.data() + (first - start_), end - first, max, min);
        return true;
    }

private:
    const ChannelStore& store_;
    uint32_t frameCount_;
    int64_t start_ = 0;
    std::vector<float> samples_;
};

}  // namespace

void PeakSummary::Clear()
{
    frameCount_ = 0;
    channelCount_ = 0;
    buckets_[0] = {};
    buckets_[1] = {};
}

bool PeakSummary::IsBuiltFor(const ChannelSet& channels) const
{
    return IsBuilt() && channels.IsValid() && channels.ChannelCount() == channelCount_ &&
           channels.FrameCount() == frameCount_;
}

int PeakSummary::Build(const ChannelSet& channels, const Progress* progress)
{
    Clear();
    if (!channels.IsValid() || channels.FrameCount() == 0)
        return 0;
    const int channelCount = channels.ChannelCount();
    const uint32_t frames = channels.FrameCount();
    const size_t bucketCount = (size_t(frames) + kBucket - 1) / kBucket;
    bool ok[2] = {true, true};
    auto summarise = [&](int c) {
        std::vector<PeakColumn>& buckets = buckets_[c];
        buckets.resize(bucketCount);
        const ChannelStore& store = channels.Channel(c);
        std::vector<float> block(std::min<size_t>(frames, kBlockSamples));
        // Whole blocks, so every read is one aligned pread; a block is a whole number of buckets.
        for (uint32_t at = 0; at < frames; at += kBlockSamples) {
            const uint32_t count = std::min(frames - at, kBlockSamples);
            if (IsCancelled(progress) || !store.ReadSamples(at, block.data(), count)) {
                ok[c] = false;
                return;
            }
            for (uint32_t k = 0; k < count; k += kBucketFrames) {
                PeakColumn& bucket = buckets[(at + k) / kBucketFrames];
                detail::FoldPeaks(block.data() + k, std::min<int64_t>(kBucket, count - k), bucket.max, bucket.min);
            }
        }
    };
    // The pass waits for the disk or the page cache as much as it computes: a long stereo sound reads
    // its second channel on a thread of its own, which nearly halves the wait after an open. The
    // threads share nothing but the (const, pread-only) set.
    if (channelCount == 2 && frames >= kMinFramesForTwoThreads) {
        std::thread second;
        try {
            second = std::thread(summarise, 1);
        } catch (const std::system_error&) {
            summarise(1);  // no thread to be had: the same work, one channel after the other
        }
        summarise(0);
        if (second.joinable())
            second.join();
    } else {
        for (int c = 0; c < channelCount; ++c)
            summarise(c);
    }
    if (!ok[0] || !ok[1]) {
        Clear();
        return 0;
    }
    frameCount_ = frames;
    channelCount_ = channelCount;
    return 1;
}

int PeakSummary::ComputeColumns(const ChannelSet& channels, uint32_t columnCount,
                                std::array<std::vector<PeakColumn>, 2>& peaks) const
{
    return ComputeColumns(channels, 0, frameCount_, columnCount, peaks);
}

int PeakSummary::ComputeColumns(const ChannelSet& channels, int64_t firstFrame, int64_t endFrame,
                                uint32_t columnCount, std::array<std::vector<PeakColumn>, 2>& peaks) const
{
    peaks[0].clear();
    peaks[1].clear();
    if (!IsBuiltFor(channels) || columnCount == 0)
        return 0;
    firstFrame = std::clamp<int64_t>(firstFrame, 0, frameCount_);
    endFrame = std::clamp<int64_t>(endFrame, 0, frameCount_);
    if (endFrame <= firstFrame)
        return 0;
    const int64_t n = endFrame - firstFrame;
    const int64_t w = columnCount;
    // Column c holds the frames g of the range with w * (g - firstFrame) / n == c: from
    // firstFrame + ceil(c * n / w) up to the next column's first frame. That first frame only opens the
    // column; the rest are folded in.
    auto columnStart = [n, w, firstFrame](int64_t column) { return firstFrame + (column * n + w - 1) / w; };

    RawWindow raw[2] = {RawWindow(channels.Channel(0), frameCount_),
                        RawWindow(channels.Channel(channelCount_ > 1 ? 1 : 0), frameCount_)};
    for (int c = 0; c < channelCount_; ++c)
        peaks[c].reserve(size_t(std::min(n, w)));
    int64_t start = firstFrame;
    for (int64_t column = 0; column < w; ++column) {
        const int64_t end = columnStart(column + 1);
        if (end <= start)
            continue;  // no frame falls into this column: ComputeColumnPeaks appends nothing for it
        const int64_t first = start + 1;
        // Whole buckets inside [first, end), with the raw edges before and after them.
        const int64_t firstBucket = (first + kBucket - 1) / kBucket;
        const int64_t endBucket = end / kBucket;
        for (int c = 0; c < channelCount_; ++c) {
            float max = 0.0f;
            float min = 0.0f;
            bool read = true;
            if (firstBucket < endBucket) {
                read = raw[c].Fold(first, firstBucket * kBucket, max, min);
                for (int64_t b = firstBucket; b < endBucket; ++b) {
                    const PeakColumn& bucket = buckets_[c][size_t(b)];
                    max = max < bucket.max ? bucket.max : max;
                    min = bucket.min < min ? bucket.min : min;
                }
                read = read && raw[c].Fold(endBucket * kBucket, end, max, min);
            } else {
                read = raw[c].Fold(first, end, max, min);
            }
            if (!read) {
                // Like ComputeColumnPeaks, keep the columns finished so far.
                peaks[1].resize(std::min(peaks[1].size(), peaks[0].size()));
                peaks[0].resize(c > 0 ? peaks[1].size() : peaks[0].size());
                return 0;
            }
            peaks[c].push_back({std::min(max, 1.0f), std::max(min, -1.0f)});
        }
        start = end;
    }
    return 1;
}

}  // namespace brindle

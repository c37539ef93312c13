#include "edit/column_peaks.h"

#include <algorithm>

#include "edit/peak_fold.h"
#include "storage/channel_set.h"
#include "tasks/progress.h"

namespace brindle {

namespace {

PeakColumn Limited(float max, float min) { return {std::min(max, 1.0f), std::max(min, -1.0f)}; }

}  // namespace

int ComputeColumnPeaks(const ChannelSet& channels, int64_t firstFrame, int64_t endFrame, uint32_t columnCount,
                       std::array<std::vector<PeakColumn>, 2>& peaks, Progress* progress)
{
    peaks[0].clear();
    peaks[1].clear();
    const int64_t frameCount = channels.FrameCount();
    firstFrame = std::clamp<int64_t>(firstFrame, 0, frameCount);
    endFrame = std::clamp<int64_t>(endFrame, 0, frameCount);
    if (!channels.IsValid() || columnCount == 0 || endFrame <= firstFrame)
        return 0;
    const int channelCount = channels.ChannelCount();
    const int64_t n = endFrame - firstFrame;
    const int64_t w = columnCount;
    // The first frame (relative to the range) of the column after `column`: the smallest g with
    // w * g / n >= column + 1.
    auto columnEnd = [n, w](int64_t column) { return ((column + 1) * n + w - 1) / w; };

    std::vector<float> samples[2];
    for (int c = 0; c < channelCount; ++c)
        samples[c].resize(size_t(std::min<int64_t>(n, kBlockSamples)));
    float max[2] = {0.0f, 0.0f};
    float min[2] = {0.0f, 0.0f};
    int64_t column = -1;  // the column being folded; -1 before the first
    int64_t nextColumnAt = 0;  // the relative frame that opens the next column
    for (int64_t at = 0; at < n;) {
        if (IsCancelled(progress))
            return 0;
        // One read per block of the store, so that every pread is block-aligned and whole.
        const int64_t frame = firstFrame + at;
        const int64_t blockEnd = (frame / kBlockSamples + 1) * kBlockSamples;
        const int64_t count = std::min(endFrame, blockEnd) - frame;
        for (int c = 0; c < channelCount; ++c) {
            if (!channels.Channel(c).ReadSamples(uint32_t(frame), samples[c].data(), uint32_t(count)))
                return 0;
        }
        int64_t k = 0;
        while (k < count) {
            if (at + k == nextColumnAt) {
                if (column >= 0) {
                    for (int c = 0; c < channelCount; ++c)
                        peaks[c].push_back(Limited(max[c], min[c]));
                }
                column = w * (at + k) / n;
                nextColumnAt = columnEnd(column);
                max[0] = max[1] = min[0] = min[1] = 0.0f;
                ++k;  // the opening frame is not folded
                continue;
            }
            const int64_t run = std::min(count, nextColumnAt - at) - k;
            for (int c = 0; c < channelCount; ++c)
                detail::FoldPeaks(samples[c].data() + k, run, max[c], min[c]);
            k += run;
        }
        at += count;
        if (progress)
            progress->SetPercent(float(100.0 * double(at) / double(n)));
    }
    for (int c = 0; c < channelCount; ++c)
        peaks[c].push_back(Limited(max[c], min[c]));
    return 1;
}

int ComputeFrameSpanPeaks(const ChannelSet& channels, uint32_t columnCount,
                          std::array<std::vector<PeakColumn>, 2>& peaks)
{
    return ComputeFrameSpanPeaks(channels, 0, channels.FrameCount(), columnCount, peaks);
}

int ComputeFrameSpanPeaks(const ChannelSet& channels, int64_t firstFrame, int64_t endFrame, uint32_t columnCount,
                          std::array<std::vector<PeakColumn>, 2>& peaks)
{
    peaks[0].clear();
    peaks[1].clear();
    firstFrame = std::clamp<int64_t>(firstFrame, 0, channels.FrameCount());
    endFrame = std::clamp<int64_t>(endFrame, 0, channels.FrameCount());
    const int64_t n = endFrame - firstFrame;
    if (!channels.IsValid() || columnCount == 0 || n <= 0)
        return 0;
    const int64_t w = columnCount;
    std::vector<float> samples(static_cast<size_t>(n));
    for (int c = 0; c < channels.ChannelCount(); ++c) {
        if (!channels.Channel(c).ReadSamples(uint32_t(firstFrame), samples.data(), uint32_t(n))) {
            peaks[0].clear();
            peaks[1].clear();
            return 0;
        }
        peaks[c].reserve(size_t(w));
        for (int64_t x = 0; x < w; ++x) {
            // From the frame under the column's left edge to the last one that begins before its right.
            const int64_t first = x * n / w;
            const int64_t end = std::max(((x + 1) * n + w - 1) / w, first + 1);
            float max = 0.0f;
            float min = 0.0f;
            detail::FoldPeaks(samples.data() + first, end - first, max, min);
            peaks[c].push_back(Limited(max, min));
        }
    }
    return 1;
}

}  // namespace brindle

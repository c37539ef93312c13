#include "view/peak_cache.h"

#include <algorithm>

#include "edit/peak_summary.h"
#include "storage/channel_set.h"
#include "view/waveform_geometry.h"

namespace brindle {

PeakColumn PeakCache::At(int channel, int64_t column) const
{
    const std::vector<PeakColumn>& sequence = columns_[channel == 0 ? 0 : 1];
    if (column < 0 || column >= int64_t(sequence.size()))
        return {};
    return sequence[size_t(column)];
}

void PeakCache::Clear()
{
    columns_[0].clear();
    columns_[1].clear();
    points_[0].clear();
    points_[1].clear();
}

int ComputePeaks(PeakCache& cache, PeakSummary& summary, const ChannelSet& channels, int width)
{
    cache.Clear();
    if (width <= 0 || !channels.IsValid())
        return 0;
    if (IsDrawnFrameByFrame(channels.FrameCount(), width)) {
        ComputeFrameSpanPeaks(channels, uint32_t(width), cache.Columns());
        return cache.ColumnCount() == uint32_t(width) ? 1 : 0;
    }
    if (!summary.IsBuiltFor(channels) && !summary.Build(channels))
        return 0;
    summary.ComputeColumns(channels, uint32_t(width), cache.Columns());
    return cache.ColumnCount() == uint32_t(width) ? 1 : 0;
}

int ComputeZoomedPeaks(PeakCache& cache, PeakSummary& summary, const ChannelSet& channels, int64_t first,
                       int64_t end, int width)
{
    cache.Clear();
    const int64_t frames = channels.FrameCount();
    first = std::clamp<int64_t>(first, 0, frames);
    end = std::clamp<int64_t>(end, first, frames);
    const int64_t count = end - first;
    if (width <= 0 || !channels.IsValid() || count == 0)
        return 0;
    if (count < width) {
        const int64_t from = std::max<int64_t>(first - 1, 0);
        const int64_t to = std::min(end + 1, frames);
        std::vector<float> samples(size_t(to - from));
        const FrameRange range{first, count};
        for (int c = 0; c < channels.ChannelCount(); ++c) {
            if (!channels.Channel(c).ReadSamples(uint32_t(from), samples.data(), uint32_t(samples.size()))) {
                cache.Clear();
                return 0;
            }
            std::vector<WavePoint>& points = cache.Points()[size_t(c)];
            points.reserve(samples.size());
            for (int64_t g = from; g < to; ++g)
                points.push_back({FrameToPixel(g, range, uint32_t(frames), width), samples[size_t(g - from)]});
        }
        return 1;
    }
    const uint32_t columns = uint32_t(width);
    if (IsDrawnFrameByFrame(uint32_t(count), width))
        ComputeFrameSpanPeaks(channels, first, end, columns, cache.Columns());
    else if (count < int64_t(PeakSummary::kBucketFrames) * width)
        ComputeColumnPeaks(channels, first, end, columns, cache.Columns());
    else if (summary.IsBuiltFor(channels) || summary.Build(channels))
        summary.ComputeColumns(channels, first, end, columns, cache.Columns());
    return cache.ColumnCount() == columns ? 1 : 0;
}

}  // namespace brindle

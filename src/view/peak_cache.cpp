#include "view/peak_cache.h"

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

}  // namespace brindle

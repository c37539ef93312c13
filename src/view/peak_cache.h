// The waveform's columns: for each channel, one PeakColumn per pixel column of the width they were
// computed for. No Qt.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "edit/column_peaks.h"

namespace brindle {

class ChannelSet;
class PeakSummary;

class PeakCache {
public:
    // The length of channel 0's sequence.
    uint32_t ColumnCount() const { return uint32_t(columns_[0].size()); }
    bool IsEmpty() const { return columns_[0].empty() && columns_[1].empty(); }
    bool IsMono() const { return !columns_[0].empty() && columns_[1].empty(); }
    // Column i of channel 0 or 1; (0, 0) outside the sequence.
    PeakColumn At(int channel, int64_t column) const;
    void Clear();

    std::array<std::vector<PeakColumn>, 2>& Columns() { return columns_; }

private:
    std::array<std::vector<PeakColumn>, 2> columns_;
};

// The peaks of the whole sound for width columns, into cache (emptied first): what
// ComputeColumnPeaks gives, taken from summary, which is built first (one pass over the samples)
// unless it already is for a sound of this shape: whoever changes the samples clears it. A sound with
// fewer than two frames a column (IsDrawnFrameByFrame) is read frame by frame instead
// (ComputeFrameSpanPeaks) and leaves summary alone. 1 when the cache holds exactly width columns, else
// 0 (a failed read or an invalid set).
int ComputePeaks(PeakCache& cache, PeakSummary& summary, const ChannelSet& channels, int width);

}  // namespace brindle

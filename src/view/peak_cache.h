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

// One frame of a view deeper than one frame a pixel: the column where it begins and its sample.
struct WavePoint {
    int x = 0;
    float value = 0.0f;
};

class PeakCache {
public:
    // The length of channel 0's sequence.
    uint32_t ColumnCount() const { return uint32_t(columns_[0].size()); }
    bool IsEmpty() const { return columns_[0].empty() && columns_[1].empty() && !HasPoints(); }
    bool IsMono() const
    {
        return HasPoints() ? points_[1].empty() : !columns_[0].empty() && columns_[1].empty();
    }
    // Frames to be drawn as points joined by lines instead of columns.
    bool HasPoints() const { return !points_[0].empty(); }
    // Column i of channel 0 or 1; (0, 0) outside the sequence.
    PeakColumn At(int channel, int64_t column) const;
    void Clear();

    std::array<std::vector<PeakColumn>, 2>& Columns() { return columns_; }
    const std::vector<WavePoint>& Points(int channel) const { return points_[channel == 0 ? 0 : 1]; }
    std::array<std::vector<WavePoint>, 2>& Points() { return points_; }

private:
    std::array<std::vector<PeakColumn>, 2> columns_;
    std::array<std::vector<WavePoint>, 2> points_;
};

// The peaks of the whole sound for width columns, into cache (emptied first): what
// ComputeColumnPeaks gives, taken from summary, which is built first (one pass over the samples)
// unless it already is for a sound of this shape: whoever changes the samples clears it. A sound with
// fewer than two frames a column (IsDrawnFrameByFrame) is read frame by frame instead
// (ComputeFrameSpanPeaks) and leaves summary alone. 1 when the cache holds exactly width columns, else
// 0 (a failed read or an invalid set).
int ComputePeaks(PeakCache& cache, PeakSummary& summary, const ChannelSet& channels, int width);

// The same for a zoomed view of frames [first, end) (see FrameRange), reading no more than that
// range needs: from summary while a column covers at least one of its buckets (built first if it is
// not, as after an edit), from the range's samples below that (ComputeColumnPeaks, or
// ComputeFrameSpanPeaks under two frames a column), and under one frame a column as points: every
// frame of the range with its neighbour on either side, at the column where it begins (FrameToPixel
// through the range), so the lines run on past both edges. 1 when the cache holds the view, else 0.
int ComputeZoomedPeaks(PeakCache& cache, PeakSummary& summary, const ChannelSet& channels, int64_t first,
                       int64_t end, int width);

}  // namespace brindle

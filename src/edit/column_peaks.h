// The waveform's picture in numbers: for a range of frames split into columns, the largest and
// smallest sample of each column, per channel, in one pass over the floats.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace brindle {

class ChannelSet;
class Progress;

// One column of one channel: max is the largest sample of the column that is 0 or above (else 0),
// min the smallest below 0 (else 0), in the store's scale, limited to 0..1 and -1..0.
struct PeakColumn {
    float max = 0.0f;
    float min = 0.0f;
};

// Frame g of [firstFrame, endFrame) belongs to column floor(columnCount * (g - firstFrame) / N), N the
// range's frame count. The first frame of each column only opens it and is not folded in (the picture
// users know is drawn that way), and a column that no frame falls into is not appended, so with fewer
// frames than columns the result is shorter than columnCount. NaN samples are never folded in.
//
// peaks[0] receives channel 0's columns, peaks[1] channel 1's (left empty for mono); both are cleared
// first. The range is clamped to the sound. Reads with pread only, so it may run on any thread while
// no thread changes the set. Progress advances in percent over the range and is polled between
// blocks. 1 when every column of the range was computed; 0 for an invalid set, a range or column
// count of 0, a failed read or cancellation (the columns finished so far stay).
int ComputeColumnPeaks(const ChannelSet& channels, int64_t firstFrame, int64_t endFrame, uint32_t columnCount,
                       std::array<std::vector<PeakColumn>, 2>& peaks, Progress* progress = nullptr);

// The whole sound frame by frame, for a sound too short for the rule above (fewer than two frames a
// column, where leaving out each column's first frame leaves columns with nothing to show): frame g
// stretches over [g * columnCount / N, (g + 1) * columnCount / N) of the width, and each column folds
// every frame that overlaps it, so a column inside one frame shows that frame. Always columnCount
// columns. Reads the whole sound into memory at once: meant for short sounds only. 1, or 0 for an
// invalid or empty set, a column count of 0 or a failed read (peaks empty).
int ComputeFrameSpanPeaks(const ChannelSet& channels, uint32_t columnCount,
                          std::array<std::vector<PeakColumn>, 2>& peaks);
// The same for frames [firstFrame, endFrame) only (clamped to the sound), as a zoomed view draws them:
// only that range is read.
int ComputeFrameSpanPeaks(const ChannelSet& channels, int64_t firstFrame, int64_t endFrame, uint32_t columnCount,
                          std::array<std::vector<PeakColumn>, 2>& peaks);

}  // namespace brindle

// Internal to the peak passes (column_peaks.cpp, peak_summary.cpp): how samples fold into a
// column's or a bucket's pair, so that both passes agree to the bit.
#pragma once

#include <cstdint>

namespace brindle::detail {

// Folds samples into (max, min): compares that skip NaN (every compare with it is false), written
// branch-free so that the loop vectorises.
inline void FoldPeaks(const float* samples, int64_t count, float& max, float& min)
{
    float hi = max;
    float lo = min;
    for (int64_t k = 0; k < count; ++k) {
        hi = hi < samples[k] ? samples[k] : hi;
        lo = samples[k] < lo ? samples[k] : lo;
    }
    max = hi;
    min = lo;
}

}  // namespace brindle::detail

#include <cmath>
#include <cstdint>
#include <limits>

#include "edit/block_walk.h"
#include "edit/edit_kernels.h"
#include "storage/channel_store.h"

namespace brindle {

int MixInto(ChannelStore& destination, ChannelStore& source)
{
    if (&destination == &source || !destination.IsReady() || !source.IsReady() ||
        destination.StoredLength() != source.StoredLength() || destination.Offset() != source.Offset())
        return 0;

    constexpr float kLargest = std::numeric_limits<float>::max();
    float smallest = 0.0f;
    float largest = 0.0f;
    for (int64_t i = 0; i < int64_t(destination.BlockCount()); ++i) {
        const uint32_t count = destination.SamplesInBlock(i);
        // One view per block file, so both blocks stay mapped together.
        float* d = destination.BlockPointer(i);
        const float* s = source.BlockPointer(i);
        if (!d || !s)
            return 0;
        float lo = smallest;
        float hi = largest;
        for (uint32_t k = 0; k < count; ++k) {
            float sum = d[k] + s[k];
            if (sum >= -kLargest && sum <= kLargest) {
                lo = sum < lo ? sum : lo;
                hi = sum > hi ? sum : hi;
            } else {
                sum = StoreSample(sum);  // damaged input: NaN -> 0, infinity -> full scale
            }
            d[k] = sum;
        }
        smallest = lo;
        largest = hi;
    }
    if (smallest >= -1.0f && largest <= 1.0f)
        return 1;
    const double peak = std::fmax(-double(smallest), double(largest));
    return ScaleDownByPeak(destination, peak);
}

int ScaleDownByPeak(ChannelStore& channel, double peak)
{
    if (peak <= 1.0)
        return 1;
    if (!channel.IsReady() || !std::isfinite(peak))
        return 0;
    const double factor = 1.0 / peak;
    for (int64_t i = 0; i < int64_t(channel.BlockCount()); ++i) {
        float* samples = channel.BlockPointer(i);
        if (!samples)
            return 0;
        const uint32_t count = channel.SamplesInBlock(i);
        for (uint32_t k = 0; k < count; ++k)
            samples[k] = StoreSample(factor * double(samples[k]));
    }
    return 1;
}

}  // namespace brindle

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "edit/block_walk.h"
#include "edit/edit_kernels.h"
#include "storage/channel_store.h"

namespace brindle {

int MixInto(ChannelStore& destination, const ChannelStore& source)
{
    if (&destination == &source || !destination.IsReady() || !source.IsReady() ||
        destination.StoredLength() != source.StoredLength())
        return 0;

    // The mix clips when its smallest sum is below -1 or its largest above 1, and is then scaled by
    // the larger of the two magnitudes: both are the largest |sum|.
    int32_t peakBits = 0;
    // The sums go into a new store through pwrite, as in TransformPieces (block_walk.h explains why),
    // which replaces the destination's samples only once the mix is complete.
    ChannelStore mixed;
    if (!mixed.Allocate(destination.StoredLength()))
        return 0;
    std::vector<float> sums(std::min(destination.StoredLength(), kBlockSamples));
    std::vector<float> addends(sums.size());
    for (int64_t i = 0; i < int64_t(destination.BlockCount()); ++i) {
        const uint32_t count = destination.SamplesInBlock(i);
        const uint32_t first = uint32_t(i * kBlockSamples);
        if (!detail::EditMeter::Step(0) || !destination.ReadSamples(first, sums.data(), count) ||
            !source.ReadSamples(first, addends.data(), count) || !detail::EditMeter::Step(2 * int64_t(count)))
            return 0;
        int32_t blockPeak = peakBits;
        for (uint32_t k = 0; k < count; ++k) {
            const float sum = sums[k] + addends[k];
            const int32_t magnitude = detail::FiniteMagnitudeBits(sum);
            blockPeak = std::max(blockPeak, magnitude);
            // Damaged input: a NaN sum is stored as 0 and an infinite one as full scale (selects
            // rather than StoreSample, so that this loop vectorises).
            const float damaged = sum != sum ? 0.0f : sum > 0.0f ? 1.0f : -1.0f;
            sums[k] = std::fabs(sum) <= std::numeric_limits<float>::max() ? sum : damaged;
        }
        if (!mixed.WriteSamples(first, sums.data(), count))
            return 0;
        peakBits = blockPeak;
    }
    const double peak = detail::FromMagnitudeBits(peakBits);
    if (!ScaleDownByPeak(mixed, peak))
        return 0;
    destination.MoveFrom(mixed);
    return 1;
}

int ScaleDownByPeak(ChannelStore& channel, double peak)
{
    if (peak <= 1.0)
        return 1;
    if (!channel.IsReady() || !std::isfinite(peak))
        return 0;
    const double factor = 1.0 / peak;
    auto scale = [factor](const float* in, float* out, int64_t count) {
        for (int64_t k = 0; k < count; ++k)
            out[k] = StoreSample(factor * double(in[k]));
    };
    // The mix's own new store is scaled where it is: nothing else reads it yet.
    return detail::TransformPieces(channel, 0, channel.StoredLength(), scale, true);
}

}  // namespace brindle

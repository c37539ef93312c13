#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>

#include "edit/block_walk.h"
#include "edit/edit_kernels.h"
#include "storage/channel_set.h"

namespace brindle {

namespace {

// The 100 of the gain is a single-precision constant, like the percentage factor (sample_gain.h).
constexpr double kFullScalePercent = double(100.0f);

std::atomic<bool> gainsAsPieces{true};

bool IsUsable(const ChannelStore& channel) { return channel.IsReady(); }

bool IsUsable(const ChannelSet& channels) { return channels.IsValid(); }

}  // namespace

void SetGainsAsPieces(bool asPieces) { gainsAsPieces.store(asPieces, std::memory_order_relaxed); }

bool GainsAsPieces() { return gainsAsPieces.load(std::memory_order_relaxed); }

bool ResolveRange(int64_t length, int64_t& start, int64_t& end)
{
    start = std::clamp<int64_t>(start, 0, length);
    end = std::clamp<int64_t>(end, 0, length);
    if (end < start)
        return false;
    if (start == end) {
        start = 0;
        end = length;
    }
    return true;
}

int ScaleRange(ChannelStore& channel, int64_t start, int64_t end, int32_t percent)
{
    if (!IsUsable(channel))
        return 0;
    if (percent == 100)
        return 1;
    if (!ResolveRange(channel.Length(), start, end))
        return 0;
    if (GainsAsPieces() && channel.GainFits(start, end))
        return channel.AddGain(start, end, {GainStage::Kind::Scale, percent});
    return detail::TransformPieces(channel, start, end, [percent](const float* in, float* out, int64_t count) {
        ScaleSamples(in, out, count, percent);
    });
}

double PeakInRange(const ChannelStore& channel, int64_t start, int64_t end)
{
    if (!IsUsable(channel) || !ResolveRange(channel.Length(), start, end))
        return -1.0;
    int32_t peakBits = 0;
    const int ok = detail::ReadPieces(channel, start, end, [&peakBits](const float* samples, int64_t count) {
        int32_t blockPeak = peakBits;
        for (int64_t k = 0; k < count; ++k) {
            const int32_t magnitude = detail::FiniteMagnitudeBits(samples[k]);
            blockPeak = std::max(blockPeak, magnitude);
        }
        peakBits = blockPeak;
        return true;
    });
    const double peak = detail::FromMagnitudeBits(peakBits);
    return ok ? double(peak) : -1.0;
}

int32_t GainForPeak(double peak)
{
    if (!(peak > 0.0))
        return 100;
    const double gain = std::trunc(kFullScalePercent / peak);
    if (gain >= double(std::numeric_limits<int32_t>::max()))
        return std::numeric_limits<int32_t>::max();
    return int32_t(gain);
}

int IncreaseVolume(ChannelStore& channel, int64_t start, int64_t end)
{
    if (!IsUsable(channel) || !ResolveRange(channel.Length(), start, end))
        return 0;
    const double peak = PeakInRange(channel, start, end);
    if (peak < 0.0)
        return 0;
    const int32_t gain = GainForPeak(peak);
    if (gain == 100)
        return 1;
    return ScaleRange(channel, start, end, gain);
}

int ChangeVolume(ChannelSet& channels, int64_t start, int64_t end, int32_t percent)
{
    if (!IsUsable(channels))
        return 0;
    if (percent == 100)
        return 1;
    if (!ScaleRange(channels.Channel(0), start, end, percent))
        return 0;
    return channels.ChannelCount() == 2 ? ScaleRange(channels.Channel(1), start, end, percent) : 1;
}

int IncreaseVolume(ChannelSet& channels, int64_t start, int64_t end)
{
    if (!IsUsable(channels))
        return 0;
    if (!IncreaseVolume(channels.Channel(0), start, end))
        return 0;
    return channels.ChannelCount() == 2 ? IncreaseVolume(channels.Channel(1), start, end) : 1;
}

}  // namespace brindle

#include <cstdint>

#include "edit/block_walk.h"
#include "edit/edit_kernels.h"
#include "storage/channel_set.h"

namespace brindle {

namespace {

enum class Direction { In, Out };

int Fade(ChannelStore& channel, int64_t start, int64_t end, Direction direction)
{
    if (!channel.IsReady() || !ResolveRange(channel.Length(), start, end))
        return 0;
    const int64_t n = end - start;
    if (n < 2)
        return 1;  // one sample: a ramp needs two ends
    const auto kind = direction == Direction::In ? GainStage::Kind::FadeIn : GainStage::Kind::FadeOut;
    if (GainsAsPieces() && channel.GainFits(start, end))
        return channel.AddGain(start, end, {kind, 100, uint32_t(n - 1), 0});
    const double last = double(n - 1);
    // k, counted across block boundaries; a double holds it exactly (a channel has < 2^30 samples).
    double index = 0.0;
    return detail::TransformPieces(channel, start, end, [&](const float* in, float* out, int64_t count) {
        if (direction == Direction::In)
            FadeInSamples(in, out, count, index, last);
        else
            FadeOutSamples(in, out, count, index, last);
        index += double(count);
    });
}

int FadeChannels(ChannelSet& channels, int64_t start, int64_t end, Direction direction)
{
    if (!channels.IsValid())
        return 0;
    if (!Fade(channels.Channel(0), start, end, direction))
        return 0;
    return channels.ChannelCount() == 2 ? Fade(channels.Channel(1), start, end, direction) : 1;
}

}  // namespace

int FadeIn(ChannelStore& channel, int64_t start, int64_t end) { return Fade(channel, start, end, Direction::In); }

int FadeOut(ChannelStore& channel, int64_t start, int64_t end) { return Fade(channel, start, end, Direction::Out); }

int FadeIn(ChannelSet& channels, int64_t start, int64_t end)
{
    return FadeChannels(channels, start, end, Direction::In);
}

int FadeOut(ChannelSet& channels, int64_t start, int64_t end)
{
    return FadeChannels(channels, start, end, Direction::Out);
}

}  // namespace brindle

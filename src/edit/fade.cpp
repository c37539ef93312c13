#include <cstdint>

#include "edit/block_walk.h"
#include "edit/edit_kernels.h"
#include "storage/channel_set.h"

namespace brindle {

namespace {

enum class Direction { In, Out };

// The gain is recomputed from the running index for every sample rather than stepped by adding
// 1 / (N - 1): adding would drift over a long range and the last sample would miss its exact gain.
int Fade(ChannelStore& channel, int64_t start, int64_t end, Direction direction)
{
    if (!channel.IsReady() || !channel.IsCompact() || !ResolveRange(channel.Length(), start, end))
        return 0;
    const int64_t n = end - start;
    if (n < 2)
        return 1;  // one sample: a ramp needs two ends
    const double last = double(n - 1);
    int64_t index = 0;  // k, counted across block boundaries
    return detail::ForEachBlockPiece(channel, start, end, [&](float* samples, int64_t count) {
        if (direction == Direction::In) {
            for (int64_t k = 0; k < count; ++k)
                samples[k] = StoreSample(double(index + k) * double(samples[k]) / last);
        } else {
            for (int64_t k = 0; k < count; ++k)
                samples[k] = StoreSample((1.0 - double(index + k) / last) * double(samples[k]));
        }
        index += count;
    });
}

int FadeChannels(ChannelSet& channels, int64_t start, int64_t end, Direction direction)
{
    if (!channels.IsValid() || !channels.IsCompact())
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

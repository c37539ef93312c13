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
    if (!channel.IsReady() || !ResolveRange(channel.Length(), start, end))
        return 0;
    const int64_t n = end - start;
    if (n < 2)
        return 1;  // one sample: a ramp needs two ends
    const double last = double(n - 1);
    // k, counted across block boundaries; a double holds it exactly (a channel has < 2^30 samples).
    double index = 0.0;
    return detail::TransformPieces(channel, start, end, [&](const float* in, float* out, int64_t count) {
        // k = base + j is exact; a 32-bit j converts to double in vector registers.
        const double base = index;
        const int32_t n = int32_t(count);
        if (direction == Direction::In) {
            for (int32_t j = 0; j < n; ++j)
                out[j] = StoreSample((base + double(j)) * double(in[j]) / last);
        } else {
            for (int32_t j = 0; j < n; ++j)
                out[j] = StoreSample((1.0 - (base + double(j)) / last) * double(in[j]));
        }
        index = base + double(n);
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

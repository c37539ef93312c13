#include "edit/sound_edits.h"

#include "edit/block_walk.h"
#include "edit/edit_kernels.h"
#include "edit/peak_summary.h"
#include "storage/channel_set.h"
#include "storage/sound_buffer.h"
#include "tasks/progress.h"

namespace brindle {

namespace {

// The samples an edit of [start, end) on every channel reads, passes times over.
int64_t RangeSamples(const SoundBuffer& sound, int64_t start, int64_t end, int passes)
{
    int64_t first = start, last = end;
    if (!ResolveRange(sound.channels.FrameCount(), first, last))
        return 0;
    return (last - first) * sound.channels.ChannelCount() * passes;
}

}  // namespace

int ChangeVolume(SoundBuffer& sound, int64_t start, int64_t end, int32_t percent, Progress* progress)
{
    detail::EditMeter meter(progress, RangeSamples(sound, start, end, 1));
    return ChangeVolume(sound.channels, start, end, percent);
}

int IncreaseVolume(SoundBuffer& sound, int64_t start, int64_t end, Progress* progress, const PeakSummary* summary)
{
    // A pass to find the peak, and one to scale (when the gain is written).
    detail::EditMeter meter(progress, RangeSamples(sound, start, end, 2));
    ChannelSet& channels = sound.channels;
    if (!summary || !summary->IsBuiltFor(channels))
        return IncreaseVolume(channels, start, end);
    for (int c = 0; c < channels.ChannelCount(); ++c) {
        const double peak = summary->PeakInRange(channels, c, start, end);
        if (peak < 0.0)
            return 0;
        const int32_t gain = GainForPeak(peak);
        if (gain != 100 && !ScaleRange(channels.Channel(c), start, end, gain))
            return 0;
    }
    return 1;
}

int FadeIn(SoundBuffer& sound, int64_t start, int64_t end, Progress* progress)
{
    detail::EditMeter meter(progress, RangeSamples(sound, start, end, 1));
    return FadeIn(sound.channels, start, end);
}

int FadeOut(SoundBuffer& sound, int64_t start, int64_t end, Progress* progress)
{
    detail::EditMeter meter(progress, RangeSamples(sound, start, end, 1));
    return FadeOut(sound.channels, start, end);
}

int ToMono(SoundBuffer& sound, Progress* progress)
{
    // The mix reads both channels; a clipping mix has a second pass, which the bar does not foresee.
    detail::EditMeter meter(progress, RangeSamples(sound, -1, -1, 1));
    ChannelSet& channels = sound.channels;
    WaveFormat& format = sound.format;
    if (channels.IsMono())
        return 1;
    if (!channels.IsStereo() || format.blockAlign % 2 != 0)
        return 0;
    if (!MixInto(channels.Channel(0), channels.Channel(1)) || !channels.DropChannel1())
        return 0;
    format.channelCount = 1;
    format.blockAlign = uint16_t(format.blockAlign / 2);
    format.avgBytesPerSecond /= 2;
    return 1;
}

int ToStereo(SoundBuffer& sound, Progress* progress)
{
    ChannelSet& channels = sound.channels;
    WaveFormat& format = sound.format;
    auto finish = [progress](int result) { return FinishProgress(progress, result); };
    if (!channels.IsMono())
        return finish(1);
    // A format that cannot double would leave a record that no longer matches the samples.
    if (uint32_t(format.blockAlign) * 2 > UINT16_MAX || uint64_t(format.avgBytesPerSecond) * 2 > UINT32_MAX)
        return finish(0);
    if (!channels.DuplicateToStereo())
        return finish(0);
    format.channelCount = 2;
    format.blockAlign = uint16_t(format.blockAlign * 2);
    format.avgBytesPerSecond *= 2;
    return finish(1);
}

}  // namespace brindle

#include "edit/sound_edits.h"

#include "edit/edit_kernels.h"
#include "storage/sound_buffer.h"
#include "tasks/progress.h"

namespace brindle {

int ChangeVolume(SoundBuffer& sound, int64_t start, int64_t end, int32_t percent)
{
    return ChangeVolume(sound.channels, start, end, percent);
}

int IncreaseVolume(SoundBuffer& sound, int64_t start, int64_t end) { return IncreaseVolume(sound.channels, start, end); }

int FadeIn(SoundBuffer& sound, int64_t start, int64_t end) { return FadeIn(sound.channels, start, end); }

int FadeOut(SoundBuffer& sound, int64_t start, int64_t end) { return FadeOut(sound.channels, start, end); }

int ToMono(SoundBuffer& sound)
{
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

// SoundBuffer's in-place edits: the buffer's side (range forwarding and the format record) of the
// kernels in edit_kernels.h. Kept beside the kernels rather than in storage/ so that the storage
// folder does not depend on the sample arithmetic.
#include <cstdint>

#include "edit/edit_kernels.h"
#include "storage/sound_buffer.h"
#include "tasks/progress.h"

namespace brindle {

int SoundBuffer::ChangeVolume(int64_t start, int64_t end, int32_t percent)
{
    return brindle::ChangeVolume(channels, start, end, percent);
}

int SoundBuffer::IncreaseVolume(int64_t start, int64_t end) { return brindle::IncreaseVolume(channels, start, end); }

int SoundBuffer::FadeIn(int64_t start, int64_t end) { return brindle::FadeIn(channels, start, end); }

int SoundBuffer::FadeOut(int64_t start, int64_t end) { return brindle::FadeOut(channels, start, end); }

int SoundBuffer::ToMono()
{
    if (channels.IsMono())
        return 1;
    if (!channels.IsStereo() || format.blockAlign % 2 != 0)
        return 0;
    for (int c = 0; c < 2; ++c) {
        if (!channels.Channel(c).IsCompact() && !channels.Channel(c).Compact())
            return 0;
    }
    if (!MixInto(channels.Channel(0), channels.Channel(1)) || !channels.DropChannel1())
        return 0;
    format.channelCount = 1;
    format.blockAlign = uint16_t(format.blockAlign / 2);
    format.avgBytesPerSecond /= 2;
    return 1;
}

int SoundBuffer::ToStereo(Progress* progress)
{
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

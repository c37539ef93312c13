// The edits on a whole sound buffer: the buffer's side (ranges and the format record) of the kernels
// in edit_kernels.h, which have the arithmetic and the range rules (-1, -1 or start == end is the
// whole sound, end < start fails). Each volume and fade edit needs a valid channel set and runs on
// channel 0, then channel 1 when stereo; format and length stay as they are. 1 success, 0 failure.
#pragma once

#include <cstdint>

namespace brindle {

class Progress;
class SoundBuffer;

int ChangeVolume(SoundBuffer& sound, int64_t start, int64_t end, int32_t percent);
int IncreaseVolume(SoundBuffer& sound, int64_t start, int64_t end);
int FadeIn(SoundBuffer& sound, int64_t start, int64_t end);
int FadeOut(SoundBuffer& sound, int64_t start, int64_t end);
// Stereo: channel 1 is mixed into channel 0 (summed, scaled down only if the sum clips) and
// destroyed; the format becomes mono with block align and byte rate halved. Mono: 1, unchanged.
// Anything else (empty) fails. Frame count and data byte count are kept.
int ToMono(SoundBuffer& sound);
// Mono: channel 1 becomes a copy of channel 0 and the format stereo, block align and byte rate
// doubled. Stereo or empty: 1, unchanged. A failure leaves the sound mono. progress, when given,
// gets Complete or Fail.
int ToStereo(SoundBuffer& sound, Progress* progress = nullptr);

}  // namespace brindle

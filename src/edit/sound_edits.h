// The edits on a whole sound buffer: the buffer's side (ranges and the format record) of the kernels
// in edit_kernels.h, which have the arithmetic and the range rules (-1, -1 or start == end is the
// whole sound, end < start fails). Each volume and fade edit needs a valid channel set and runs on
// channel 0, then channel 1 when stereo; format and length stay as they are. 1 success, 0 failure.
// progress, when given, moves as the samples are read and is polled between blocks: a cancel ends the
// edit with 0. A failure may leave channel 0 changed and channel 1 not: edit a copy (SoundBuffer::
// CopyFrom shares the stores, so it costs nothing) and keep it only on success.
#pragma once

#include <cstdint>

namespace brindle {

class PeakSummary;
class Progress;
class SoundBuffer;

int ChangeVolume(SoundBuffer& sound, int64_t start, int64_t end, int32_t percent, Progress* progress = nullptr);
// With a summary built for the sound, each channel's peak comes from its buckets (PeakSummary::
// PeakInRange, the same value) rather than from a pass over the range.
int IncreaseVolume(SoundBuffer& sound, int64_t start, int64_t end, Progress* progress = nullptr,
                   const PeakSummary* summary = nullptr);
int FadeIn(SoundBuffer& sound, int64_t start, int64_t end, Progress* progress = nullptr);
int FadeOut(SoundBuffer& sound, int64_t start, int64_t end, Progress* progress = nullptr);
// Stereo: channel 1 is mixed into channel 0 (summed, scaled down only if the sum clips) and
// destroyed; the format becomes mono with block align and byte rate halved. Mono: 1, unchanged.
// Anything else (empty) fails. Frame count and data byte count are kept.
int ToMono(SoundBuffer& sound, Progress* progress = nullptr);
// Mono: channel 1 becomes a copy of channel 0 and the format stereo, block align and byte rate
// doubled. Stereo or empty: 1, unchanged. A failure leaves the sound mono. progress, when given,
// gets Complete or Fail.
int ToStereo(SoundBuffer& sound, Progress* progress = nullptr);

}  // namespace brindle

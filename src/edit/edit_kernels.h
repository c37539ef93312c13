// The sample kernels behind the volume, fade and channel commands. A volume change or a fade gives the
// pieces of its range one more gain stage and writes nothing (sample_gain.h holds their arithmetic);
// where a piece already carries kMaxGainStages stages, and for the channel mix, the kernels read the
// range block by block and write the results into a new float store that replaces the range in the
// channel's piece list. Either way the stores the channel read from stay as they were for the undo
// steps that hold them.
//
// Results: 1 on success (also when there was nothing to do), 0 on failure; nothing throws. A failure
// leaves the channel it happened on as it was, but a failure on channel 1 leaves channel 0 already
// changed: the edits on a whole sound run on a copy of its piece lists (see Document).
//
// Ranges are sample indices of one channel, half-open [start, end), applied against the channel's
// length L: start and end are each clamped to 0..L; end < start fails; start == end means the whole
// channel [0, L), so the "no selection" pair -1, -1 selects everything.
//
// Arithmetic: the kernels compute in double and store the nearest float, clamped to -1..1 (the mix
// adds in float). Each block is read with pread and the results written with pwrite
// (src/edit/block_walk.h says why).
//
// Non-finite samples: a NaN or an infinity cannot come from any file the program imports (8- and 16-bit
// PCM, MP3 through the decoder) but can appear when a temporary file is damaged behind our back. One
// such sample must not spoil the rest of the channel, so:
//   - the peak searches (IncreaseVolume, the clip test of MixInto) skip non-finite values; otherwise a
//     single +inf would make the gain 0 and silence the whole channel;
//   - every sample a kernel writes goes through StoreSample: NaN becomes 0.0 and an infinity is
//     clamped to -1.0 or 1.0 like any other value outside full scale (so 0 % of an infinity, which is
//     NaN, becomes 0.0);
//   - a kernel with nothing to do (100 %, a computed gain of 100, a one-sample fade) writes nothing,
//     so a channel it leaves alone keeps whatever it held.
#pragma once

#include <cstdint>

#include "storage/sample_gain.h"

namespace brindle {

class ChannelSet;
class ChannelStore;

// Whether the gains below may be carried by the pieces they cover (see sample_gain.h) instead of
// written into a new store. On by default; tests and benchmarks turn it off to compare with the
// written results. Any thread; it applies to the edits that start after it.
void SetGainsAsPieces(bool asPieces);
bool GainsAsPieces();

// Clamps [start, end) to a channel of `length` samples by the rules above. False when end < start.
bool ResolveRange(int64_t length, int64_t& start, int64_t& end);

// --- Volume ---------------------------------------------------------------------------------------

// Multiplies every sample of the range by percent / 100: y = percent * x * 0.01 with 0.01 taken as the
// single-precision constant 0.009999999776482582. 100 changes nothing. Negative percentages invert
// the phase. Fails when the store is not ready or not compact, or end < start.
int ScaleRange(ChannelStore& channel, int64_t start, int64_t end, int32_t percent);

// The largest |x| over the finite samples of the range, 0.0 when there are none. -1.0 when the store
// is not ready or compact, or end < start.
double PeakInRange(const ChannelStore& channel, int64_t start, int64_t end);

// The whole percentage that brings a channel of this peak to full scale: 100 / peak (100 a
// single-precision constant), truncated toward zero; 100 for a peak of 0 (silence). A peak below
// 100 / 2^31 would give a gain past the 32-bit range: it is bounded to INT32_MAX, which still keeps
// the peak inside full scale, so a tiny peak never wraps to a negative or small gain.
int32_t GainForPeak(double peak);

// Raises the range of one channel to full scale with its own gain (GainForPeak of PeakInRange).
int IncreaseVolume(ChannelStore& channel, int64_t start, int64_t end);

// The channel-set side: fails unless the set is valid and compact, then runs the channel kernel on
// channel 0 and, when stereo, on channel 1; a failure on channel 0 stops before channel 1.
// ChangeVolume with 100 succeeds without touching anything.
int ChangeVolume(ChannelSet& channels, int64_t start, int64_t end, int32_t percent);
int IncreaseVolume(ChannelSet& channels, int64_t start, int64_t end);

// --- Fades ----------------------------------------------------------------------------------------

// A straight-line ramp over the N samples of the range, k = 0 .. N - 1 counted across block
// boundaries: fade in y = (k * x) / (N - 1), fade out y = (1 - k / (N - 1)) * x. A range of one
// sample (and a whole channel of length 1) is left unchanged.
int FadeIn(ChannelStore& channel, int64_t start, int64_t end);
int FadeOut(ChannelStore& channel, int64_t start, int64_t end);
int FadeIn(ChannelSet& channels, int64_t start, int64_t end);
int FadeOut(ChannelSet& channels, int64_t start, int64_t end);

// --- Channels -------------------------------------------------------------------------------------

// Adds source into destination sample by sample (d = d + s as a float; the sum, not the average). Both
// stores must be ready with equal stored length and offset. When a finite sum leaves -1..1 the whole
// destination is scaled down by the larger of |smallest| and largest sum, so the loudest sample ends
// exactly at -1.0 or 1.0. A NaN sum is stored as 0.0 and an infinite one as -1.0 or 1.0 (before the
// scaling), and neither counts towards the peak. A failure leaves the destination as it was.
int MixInto(ChannelStore& destination, const ChannelStore& source);

// Multiplies the whole channel by 1 / peak when peak > 1 (nothing to do otherwise). Fails for a
// store that is not ready and for a peak that is NaN or infinite, which would zero the channel. A
// channel still being written (the mix's own new store) is scaled where it is.
int ScaleDownByPeak(ChannelStore& channel, double peak);

}  // namespace brindle

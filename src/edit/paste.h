// The edits that put sound into a sound: a paste of a clip and inserted silence, and what makes a clip
// fit the sound it goes into (its own stores, another rate). Only the pieces change where the clip's
// samples can be shared; new samples go into new float stores, written block by block. 1 success,
// 0 failure (a cancel included, polled between blocks); a failure leaves the sound as it was.
#pragma once

#include <cstdint>

namespace brindle {

class Progress;
class SoundBuffer;

// Every channel of sound made of a copy of its samples in a new store of its own: in an unnamed
// temporary file when unnamed, else where the stores go (the session's folder, when there is one).
// The format and length stay.
int CopyIntoNewStores(SoundBuffer& sound, bool unnamed, Progress* progress = nullptr);

// sound at rate, resampled by libsoxr at its high quality into new stores; the length becomes the
// old length * rate / the old rate (rounded). The same rate changes nothing.
int Resample(SoundBuffer& sound, uint32_t rate, Progress* progress = nullptr);

// sound with frames [start, end) replaced by all of clip (start == end inserts at start), sharing the
// clip's stores. clip must have sound's channel count and rate. An 8-bit sound becomes 16-bit, as a
// cut makes it; every other keeps its format.
int SpliceSound(SoundBuffer& sound, int64_t start, int64_t end, const SoundBuffer& clip);

// sound with [start, end) replaced by frames frames of silence, one new store of zeros that every
// channel shares.
int InsertSilence(SoundBuffer& sound, int64_t start, int64_t end, uint32_t frames, Progress* progress = nullptr);

}  // namespace brindle

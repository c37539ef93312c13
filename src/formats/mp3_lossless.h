// Saving a cut MP3 without encoding it again: the frames of the source that lie wholly inside what the
// sound keeps are copied byte for byte, and only a few frames at each seam are encoded anew from the
// decoded samples (same rate, channels, mode and CRC setting, bit reservoir off). The info frame is
// rewritten so that a gapless decoder gives exactly the sound's length.
//
// Frame positions. A decode keeps the raw samples [delay + 529, ...) of the frames; a source frame j
// copied into output slot p decodes to what it decoded to only when its position moves by whole
// frames and, for the decoder's rounding, by a whole turn of its synthesis ring (4 frames of MPEG-1, 8
// of MPEG-2 and 2.5: kLosslessGridSamples either way). Ranges whose cut does not move them by such a
// multiple are encoded anew; the delay of the new file is chosen so that as much as possible is copied
// (a head cut, or one cut, always qualifies through it).
//
// The bit reservoir. The first frame copied after new frames may take main data from the frames before
// it, which were dropped: those bytes are carried at the end of the last new frame, whose bit rate is
// raised for room when needed; the seam moves on a frame when they still do not fit, or when the
// window types on the two sides would not overlap-add.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "formats/mp3_frames.h"

namespace brindle {

class LameAdapter;
class Progress;
class SampleStore;
class SoundBuffer;

// A range [start, end) of the source's decoded samples.
struct KeptRange {
    uint32_t start = 0;
    uint32_t end = 0;
};

// The ranges of the source's decode that the sound is made of, in order, when the sound is nothing but
// cuts of it: every piece of channel c is a range of sourceStores[c], the channels' pieces cover the
// same ranges, and the ranges ascend without overlapping. Touching ranges are joined. None otherwise.
std::optional<std::vector<KeptRange>> KeptSourceRanges(const SoundBuffer& sound,
                                                       const std::vector<const SampleStore*>& sourceStores);

// Cuts whose both edges lie on this grid (of the source's decode: samples s with
// (s + encoder delay + 529) % kLosslessGridSamples == kLosslessGridPhase) are always copied.
inline constexpr uint32_t kLosslessGridSamples = 4608;
inline constexpr uint32_t kLosslessGridPhase = 2304;

enum class LosslessWrite {
    Written,      // the file holds the whole sound
    NotPossible,  // this sound or source cannot be saved this way (whyNot says why); nothing useful written
    Failed,       // cancelled, or the source or the file could not be read or written; reason noted
};

// What a written copy encoded anew beyond its seams. A seam is a place where the sound was cut: between
// two kept ranges, at its start when its head was cut, at its end when its tail was. Its frames are the
// new ones it may take when both its sides copy: kSeamMargin either side of it, and the kSeamReach
// frames it may move by. Encoded anew beyond them are the sound's frames (sample positions, each
// counted once whatever the channels) that new frames carry and that either belong to a range that
// could not be placed on whole frames (the shorter side of a cut off the frame grid, encoded whole, its
// seam included) or lie outside every seam's frames (the start of a source whose decode had no delay
// to take off, moved to make room for one).
struct LosslessExtent {
    uint64_t encodedFrames = 0;
    std::string why;  // empty when encodedFrames is 0; else each cause, "; " between them
};

// A run of a written copy's frames, all of one kind: output frames [begin, end).
struct CopiedRun {
    enum class Kind : uint8_t {
        Encoded,      // encoded anew
        Copied,       // the source's, moved by whole turns of the synthesis ring: they decode exactly as there
        CopiedShifted,  // moved by whole frames only: they decode within one step of rounding
    };
    uint32_t begin = 0;
    uint32_t end = 0;
    Kind kind = Kind::Copied;
};

// Why the copy open at fd (for reading), made of `runs` in order from its first audio frame, is not
// `sound`; empty when nothing was found wrong. Only what can be checked without decoding the whole file
// is: its frame headers and info frame must give exactly the sound's length in exactly the frames of
// the runs; around every encoded run, decoded with the lead-in its first frame needs, the copied frames
// must give the sound's samples (within a step where they moved by part of a turn) from the frame
// before the run and again once the run's overlap and synthesis window have died away after it, up to
// the first frame whose main data lies wholly after it; the encoded frames between, which are lossy,
// must come nearer the sound than silence would. Throws (a Failure) when the file cannot be read or
// progress (may be null) asks for a cancel.
std::string CheckLosslessCopy(int fd, const SoundBuffer& sound, const std::vector<CopiedRun>& runs, Progress* progress);

// Writes the audio frames of sound, which is the ranges `kept` of the source open at sourceFd (indexed
// as index, which must be splittable and have an info frame), into the empty file open at outFd for
// reading and writing: the info frame first, then the frames; no tags. A source frame is copied only
// while its bytes still hash as they did when the index was made; the file is then checked
// (CheckLosslessCopy), and either finding makes the result NotPossible. progress (may be null) is
// moved and asked for a cancel; it is not completed here. extent (may be null) is filled when the
// result is Written; runs (may be null) then gets the file's runs.
LosslessWrite WriteLosslessMp3(int sourceFd, const Mp3FrameIndex& index, const std::vector<KeptRange>& kept,
                               const SoundBuffer& sound, LameAdapter& adapter, int outFd, Progress* progress,
                               std::string* whyNot, LosslessExtent* extent = nullptr,
                               std::vector<CopiedRun>* runs = nullptr);

}  // namespace brindle

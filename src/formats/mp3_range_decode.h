// Internal to the MP3 decoder: decoding an indexed MP3 file in ranges, one thread and one fresh
// libmpg123 decoder per range, each writing its samples straight into the sound's stores at their
// final positions. The result is meant to equal, bit for bit, the decode of the whole file by one
// decoder; every range checks that it decoded exactly the frames predicted, and whatever it cannot
// vouch for is handed back for the whole-file decode to decide.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "formats/mp3_frames.h"

namespace brindle {

class Progress;
class SoundBuffer;

namespace detail {

enum class RangeDecode {
    Done,         // buffer holds the sound, exactly as one decoder gives it
    NotVouched,   // a range decoded something else than predicted; buffer is to be decoded again
    Failed,       // cancelled, or the file or the stores could not be read or written; reason noted
};

// Starts of `count` ranges of about equal bytes, as audio frame indices (the first is 0); fewer
// when the file has too few frames for that many.
std::vector<uint32_t> SplitByBytes(const Mp3FrameIndex& index, unsigned count);

// One range to decode: frames [start, end) are kept, decoding begins at lead-in frame from.
struct RangeSpan {
    uint32_t from = 0;
    uint32_t start = 0;
    uint32_t end = 0;
};

// The ranges that start at starts (ascending, the first 0, each below the frame count), the last
// ending at the last frame. A split point with no lead-in near enough (LeadInStart) is dropped and
// its range joined to the one before.
std::vector<RangeSpan> PlanRanges(const Mp3FrameIndex& index, const std::vector<uint32_t>& starts);

// Where one range's kept samples go, as the decoder gives them: interleaved signed 16-bit frames in
// the host's byte order. Put receives runs in order, each at its position in the sound (frames from
// the first kept one); Finish follows the last. Both are called on the range's own thread and return
// false, with the reason noted, when the samples could not be stored.
class PcmSink {
public:
    virtual ~PcmSink() = default;
    virtual bool Put(uint32_t frameIndex, const uint8_t* pcm, uint32_t frameCount) = 0;
    virtual bool Finish() = 0;
};

// Decodes the file open at fd, indexed as index (which must be splittable), in the ranges planned,
// one thread and one decoder each; makeSink is called once per range, on the calling thread, before
// any decoding starts. synthesis names libmpg123's synthesis ("generic"), empty for its default. The
// library must have been initialised. progress (may be null) is asked for a cancel and moved in
// percent of the frames decoded, from this thread only; it is not completed here. Cancelled counts
// as Failed; the caller asks the progress which it was.
RangeDecode DecodeRangesTo(int fd, const Mp3FrameIndex& index, const std::vector<RangeSpan>& spans,
                           const std::string& synthesis, const std::function<std::unique_ptr<PcmSink>()>& makeSink,
                           Progress* progress);

// DecodeRangesTo into buffer's stores, replacing what it held, in the ranges that start at starts (see
// PlanRanges); *rangeCount gets the ranges planned. Fewer than two is NotVouched: one decoder from
// the start decides such a file.
RangeDecode DecodeRanges(int fd, const Mp3FrameIndex& index, const std::vector<uint32_t>& starts,
                         const std::string& synthesis, SoundBuffer& buffer, Progress* progress, unsigned* rangeCount);

// Decodes the frames [from, end) of the file open at fd, indexed as index, on this thread with one fresh
// decoder of libmpg123's default synthesis (raw frames, nothing trimmed) and hands each frame from
// `start` on to take: its number and spf frames of interleaved 16-bit samples, in the machine's
// order. Frames before `start` are the lead-in (LeadInStart). NotVouched when the decoder gives
// anything but one whole frame for each frame fed; Failed when the file could not be read (reason
// noted) or when take returned false.
RangeDecode DecodeFrames(int fd, const Mp3FrameIndex& index, uint32_t from, uint32_t start, uint32_t end,
                         const std::function<bool(uint32_t frame, const int16_t* pcm)>& take);

}  // namespace detail
}  // namespace brindle

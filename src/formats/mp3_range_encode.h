// Internal to the MP3 encoder: encoding a sound in ranges, one LAME encoder and one thread per range,
// into a file that is byte for byte the file one encoder writes with the same settings.
//
// The sound is cut at multiples of the frame length (1152 samples, 576 for MPEG-2 and 2.5). With its
// delay of 576 samples an encoder fed from a multiple of the frame length writes the same frames as
// one fed from the start, once its state has forgotten where it started: each range's encoder is fed
// kLeadInFrames frames before its range (the ATH's adjustment after a loud passage, the longest
// memory the encoder has, settles within about 95 frames) and one frame past it (the psychoacoustic
// look-ahead), then flushed, and only the range's own frames are kept. The bit reservoir must be off,
// so that every frame stands alone. The info frame is then made for the whole file.
#pragma once

#include <cstdint>
#include <memory>

namespace brindle {

class LameAdapter;
class MappedFileStream;
class Progress;
class SoundBuffer;
class LameStream;
struct BE_CONFIG;

namespace detail {

inline constexpr uint32_t kLeadInFrames = 128;

enum class RangeEncode {
    Done,        // output holds the audio frames, *infoStream the info frame to write over the first
    NotVouched,  // the encoders did something else than predicted: output must be written again
    Failed,      // cancelled, or the sound or a file could not be read or written; reason noted
};

// Encodes buffer (compact, with sound) in `count` ranges (at least 2) with the settings of config
// into output, which is open for writing and empty; the first frame written is the encoder's
// placeholder for the info frame. On Done, *infoStream is the first range's stream, finished, whose
// info frame (LameAdapter::InfoFrame) describes the whole file, and *rangeCount the ranges used.
// NotVouched also when the settings are ones the ranges cannot reproduce (another encoder delay
// than 576, resampling, no info frame). progress (may be null) is moved and asked for a cancel from
// this thread only; it is not completed here.
RangeEncode EncodeRanges(LameAdapter& adapter, const BE_CONFIG& config, SoundBuffer& buffer, unsigned count,
                         MappedFileStream& output, std::unique_ptr<LameStream>* infoStream, Progress* progress,
                         unsigned* rangeCount);

}  // namespace detail
}  // namespace brindle

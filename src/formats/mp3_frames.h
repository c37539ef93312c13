// MPEG audio layer III frames as they lie in an MP3 file: the frame header (which also cuts the
// encoder's output into frames), and the index of a whole file's frames that lets its decoding be
// split into ranges, each decoded by a decoder of its own.
//
// The index reads the file itself (it does not decode) and says whether libmpg123, decoding the whole
// file in one piece with gapless trimming, would read exactly the frames it found: a plain run of
// layer III frames of one stream, after ID3v2 tags and an optional Xing/LAME info frame, and before
// at most an ID3v1 tag, with side information the decoder takes as it is and main data in file order.
// Anything else (free format, junk or gaps between frames, a header change, a frame cut short, a
// frame count other than the info frame's, damaged side information) is reported, and the caller
// then decodes the file in one piece, which decides what such a file gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brindle {

class Progress;

struct Layer3Header {
    bool isMpeg1 = false;         // else MPEG-2 or 2.5: one granule of 576 samples per frame
    uint32_t sampleRate = 0;      // Hz
    uint32_t bitrateKbps = 0;
    uint32_t channelCount = 0;    // 1 for the mono mode, else 2
    bool hasCrc = false;          // 16 bits of CRC follow the header
    uint32_t frameBytes = 0;      // the whole frame, header included
    uint32_t samplesPerFrame = 0; // per channel: 1152 or 576
    uint32_t sideInfoBytes = 0;   // without the CRC: 17 or 32 (MPEG-1), 9 or 17

    // Bytes of the frame that carry main data (its own or later frames').
    uint32_t MainDataArea() const { return frameBytes - 4 - (hasCrc ? 2 : 0) - sideInfoBytes; }
    // Bytes before the side information: the header and the CRC.
    uint32_t SideInfoOffset() const { return 4 + (hasCrc ? 2 : 0); }
};

// false unless the four bytes are the header of a layer III frame with a bit rate (free format is
// refused) and a sample rate of MPEG-1, 2 or 2.5.
bool ParseLayer3Header(const uint8_t* bytes, Layer3Header& header);

// The main_data_begin field of a frame whose first SideInfoOffset() + 2 bytes are at frame: how many
// bytes before the frame's own area its main data starts.
uint32_t MainDataBegin(const Layer3Header& header, const uint8_t* frame);

// XXH64 (seed 0) of count bytes: what the index remembers of every frame, so that a later reader of
// the same file can tell whether a frame still holds the bytes the index was made from.
uint64_t HashFrameBytes(const uint8_t* bytes, size_t count);

// The audio frames of one MP3 file, in file order, and the samples a whole-file decode keeps.
struct Mp3FrameIndex {
    Layer3Header format;                 // of the first audio frame (rate, channels, frame length)
    std::vector<uint32_t> offsets;       // file offset of each audio frame, then the end of the last
    std::vector<uint16_t> mainDataBegin; // per audio frame
    std::vector<uint64_t> frameHashes;   // per audio frame: HashFrameBytes of its bytes as read here
    // Per audio frame of MPEG-2 and 2.5: the part2_3_length a decoder reads for the frame when it
    // silences it for want of reservoir (it clears the side information but for the byte that holds
    // the top bits of that field); 0 for MPEG-1, where the whole field is cleared.
    std::vector<uint16_t> silencedPart23;
    // The frames a whole-file decode drops without running them through the synthesis (silenced
    // frames whose kept part2_3_length exceeds their bits), ascending; they move its synthesis window.
    std::vector<uint32_t> droppedFrames;
    // The decoded samples (per channel, counted from the first audio frame's first) that a whole-file
    // decode keeps: [keepBegin, keepEnd), the encoder's delay and padding and the decoder's own delay
    // taken off as libmpg123 takes them off.
    uint64_t keepBegin = 0;
    uint64_t keepEnd = 0;
    // Where the Xing/LAME info frame lies in the file, and its length; 0 bytes when there is none.
    uint32_t infoFrameOffset = 0;
    uint32_t infoFrameBytes = 0;
    uint64_t infoFrameHash = 0;  // HashFrameBytes of the info frame as read here
    // Empty when the frames can be decoded in ranges; else why not ("junk after the frames").
    std::string notSplittable;

    uint32_t FrameCount() const { return offsets.empty() ? 0 : uint32_t(offsets.size() - 1); }
    uint32_t FrameBytes(uint32_t i) const { return offsets[i + 1] - offsets[i]; }
    // Main-data bytes of frame i: its length less header, CRC and side information (the same for
    // every frame of one stream).
    uint32_t MainDataArea(uint32_t i) const { return FrameBytes(i) - format.SideInfoOffset() - format.sideInfoBytes; }
    bool IsSplittable() const { return notSplittable.empty() && FrameCount() != 0; }
};

// Reads the file open at fd (size bytes, read with pread) and fills index. Returns 1 when the whole
// file was read, whatever it holds (index.notSplittable then says what stands in the way); 0 on
// cancellation or when the file could not be read or shrank, with the reason noted. progress (may be
// null) is moved through its range as the file is read and asked for a cancel at every frame.
int IndexMp3Frames(int fd, uint64_t size, Progress* progress, Mp3FrameIndex& index);

// The first frame that a range starting at frame `start` must be fed from so that, once the frames
// before `start` are dropped, it decodes exactly as a whole-file decode does:
// - early enough for the main data of the frames whose output reaches into `start` (the last
//   granule before it, which spans two frames in MPEG-2 and 2.5);
// - so that libmpg123's synthesis window stands where it stands in a whole-file decode: its ring
//   position moves with every 32 samples, only a new decoder resets it, and its rounding follows
//   it, so the frames synthesised before `start` must agree modulo 4 (MPEG-1) or 8 (MPEG-2 and
//   2.5), counting the frames each decoder silences and drops.
// The range decoder feeds the lead-in frames it silences silenced already (with a CRC the decoder's
// own silencing would clear main data that later lead-in frames read).
// 0 when nothing later will do; none when the only start found so far is too far back to be worth it
// (then the range is better joined to the one before).
std::optional<uint32_t> LeadInStart(const Mp3FrameIndex& index, uint32_t start);

// The frames of [from, start) that a decoder started at `from` silences for want of main data, each
// with the reservoir it holds then (the main_data_begin it lowers the frame's to).
std::vector<std::pair<uint32_t, uint32_t>> SilencedFrames(const Mp3FrameIndex& index, uint32_t from, uint32_t start);

}  // namespace brindle

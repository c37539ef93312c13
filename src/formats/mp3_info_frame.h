// The Xing/LAME info frame that LAME puts at the start of the MP3 files it writes, made anew for a
// stream that several encoders wrote in ranges: everything in it that depends on the whole stream is
// computed here exactly as the encoder computes it (VbrTag.c), so the frame comes out byte for byte
// as one encoder would have written it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace brindle {

// CRC-16/ARC (reflected polynomial 0xA001, start 0), the checksum of the info frame's music and
// of the frame itself; crc is the value so far.
uint16_t Crc16Arc(uint16_t crc, const uint8_t* bytes, size_t count);

// The table of contents of a Xing frame, fed with the bit rate of every audio frame in order. The
// encoder keeps a sample of the running sums of the bit rates (not of the bytes), thinned to every
// second entry whenever it fills, and interpolates the table from it in float.
class XingTableOfContents {
public:
    void Add(uint32_t kbps);
    // The 100 entries.
    std::vector<uint8_t> Entries() const;
    uint32_t FrameCount() const { return frames_; }

private:
    static constexpr int kSize = 400;
    std::vector<int> bag_ = std::vector<int>(kSize);
    int position_ = 0;
    int want_ = 1;
    int seen_ = 0;
    int sum_ = 0;
    uint32_t frames_ = 0;
};

// What the info frame says of the audio frames that follow it.
struct InfoFrameTotals {
    XingTableOfContents toc;      // of every audio frame
    uint64_t audioBytes = 0;      // of every audio frame
    uint16_t musicCrc = 0;        // Crc16Arc over the audio frames' bytes
    uint8_t lastModeExtension = 0;  // the last audio frame's mode extension (header byte 3, bits 5-4)
    uint32_t padding = 0;         // samples the encoder added at the end
};

// Rewrites, in place, an info frame as the encoder gave it for part of the stream (same settings,
// same sample rate and channels) so that it describes the whole stream: the header's mode extension,
// the frame and byte counts, the table of contents, the padding, the music length and CRC, and the
// frame's own CRC. false (frame untouched) for a frame that is not a LAME info frame of that layout.
bool RewriteInfoFrame(std::vector<uint8_t>& frame, const InfoFrameTotals& totals);

// What an info frame copied from another file must say of the frames that now follow it.
struct InfoFramePatch {
    XingTableOfContents toc;  // of every audio frame
    uint64_t audioBytes = 0;
    uint16_t musicCrc = 0;
    uint32_t delay = 0;       // encoder delay and padding, in samples (12 bits each)
    uint32_t padding = 0;
    bool isVariable = false;  // the frames' bit rates differ: the frame says "Xing", not "Info"
};

// Rewrites, in place, the Xing or Info frame of any encoder that also wrote the LAME extension (the
// one the decoder takes delay and padding from): frame and byte counts, table of contents, delay and
// padding, music length and CRC, and the frame's own CRC; the peak and the ReplayGain values, which
// described the old sound, are cleared. false (frame untouched) for a frame without all of those
// fields.
bool PatchInfoFrame(std::vector<uint8_t>& frame, const InfoFramePatch& patch);

}  // namespace brindle

#include "formats/mp3_info_frame.h"

#include <array>
#include <cmath>
#include <cstring>

#include "formats/mp3_frames.h"

namespace brindle {
namespace {

// Table k: what a byte does to the CRC when k more bytes follow it. Eight bytes at a time run the
// music CRC of an hour's copy at several times the speed of one, which it otherwise spends half its
// time on.
using Crc16Tables = std::array<std::array<uint16_t, 256>, 8>;

constexpr Crc16Tables MakeCrc16Tables()
{
    Crc16Tables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint16_t crc = uint16_t(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
        tables[0][i] = crc;
    }
    for (size_t k = 1; k < tables.size(); ++k) {
        for (uint32_t i = 0; i < 256; ++i)
            tables[k][i] = uint16_t((tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF]);
    }
    return tables;
}

constexpr Crc16Tables kCrc16Tables = MakeCrc16Tables();

void PutBigEndian(uint8_t* at, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i, value >>= 8)
        at[i] = uint8_t(value);
}

// Offsets in the LAME info frame, from the "Xing" that follows the (empty) side information.
constexpr size_t kFrameCountAt = 8;
constexpr size_t kByteCountAt = 12;
constexpr size_t kTocAt = 16;
constexpr size_t kEncoderAt = 120;
constexpr size_t kDelayPaddingAt = 141;
constexpr size_t kMusicLengthAt = 148;
constexpr size_t kMusicCrcAt = 152;
constexpr size_t kFrameCrcAt = 154;

}  // namespace

uint16_t Crc16Arc(uint16_t crc, const uint8_t* bytes, size_t count)
{
    const auto& t = kCrc16Tables;
    for (; count >= 8; count -= 8, bytes += 8) {
        const uint32_t head = crc ^ (uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8);
        crc = uint16_t(t[7][head & 0xFF] ^ t[6][head >> 8] ^ t[5][bytes[2]] ^ t[4][bytes[3]] ^ t[3][bytes[4]] ^
                       t[2][bytes[5]] ^ t[1][bytes[6]] ^ t[0][bytes[7]]);
    }
    for (; count > 0; --count, ++bytes)
        crc = uint16_t((crc >> 8) ^ t[0][(crc ^ *bytes) & 0xFF]);
    return crc;
}

void XingTableOfContents::Add(uint32_t kbps)
{
    ++frames_;
    sum_ += int(kbps);
    if (++seen_ < want_)
        return;
    if (position_ < kSize) {
        bag_[position_++] = sum_;
        seen_ = 0;
    }
    if (position_ == kSize) {
        for (int i = 1; i < kSize; i += 2)
            bag_[i / 2] = bag_[i];
        want_ *= 2;
        position_ /= 2;
    }
}

std::vector<uint8_t> XingTableOfContents::Entries() const
{
    std::vector<uint8_t> entries(100, 0);
    if (position_ <= 0)
        return entries;
    for (int i = 1; i < 100; ++i) {
        // The encoder's own types: the fraction and the sums in float, the ratio in double. Sums
        // above 2^24 round in float, and the table must round with them.
        const float fraction = float(i) / 100.0f;
        int at = int(std::floor(fraction * float(position_)));
        if (at > position_ - 1)
            at = position_ - 1;
        const float reached = float(bag_[size_t(at)]);
        const float total = float(sum_);
        const int point = int(256.0 * double(reached) / double(total));
        entries[size_t(i)] = uint8_t(point > 255 ? 255 : point);
    }
    return entries;
}

bool RewriteInfoFrame(std::vector<uint8_t>& frame, const InfoFrameTotals& totals)
{
    Layer3Header header;
    if (frame.size() < 4 || !ParseLayer3Header(frame.data(), header) || frame.size() != header.frameBytes)
        return false;
    const size_t at = 4 + header.sideInfoBytes;
    if (frame.size() < at + kFrameCrcAt + 2 || std::memcmp(&frame[at], "Xing", 4) != 0 ||
        std::memcmp(&frame[at + kEncoderAt], "LAME", 4) != 0)
        return false;
    uint8_t* xing = &frame[at];
    // The encoder fills the header from its state after the last frame.
    frame[3] = uint8_t((frame[3] & ~0x30) | ((totals.lastModeExtension & 3) << 4));
    const uint32_t streamBytes = uint32_t(totals.audioBytes + frame.size());
    PutBigEndian(xing + kFrameCountAt, totals.toc.FrameCount(), 4);
    PutBigEndian(xing + kByteCountAt, streamBytes, 4);
    const std::vector<uint8_t> toc = totals.toc.Entries();
    std::memcpy(xing + kTocAt, toc.data(), toc.size());
    const uint32_t delay = uint32_t(xing[kDelayPaddingAt]) << 4 | xing[kDelayPaddingAt + 1] >> 4;
    PutBigEndian(xing + kDelayPaddingAt, delay << 12 | (totals.padding & 0xFFF), 3);
    PutBigEndian(xing + kMusicLengthAt, streamBytes, 4);
    PutBigEndian(xing + kMusicCrcAt, totals.musicCrc, 2);
    PutBigEndian(xing + kFrameCrcAt, Crc16Arc(0, frame.data(), at + kFrameCrcAt), 2);
    return true;
}

bool PatchInfoFrame(std::vector<uint8_t>& frame, const InfoFramePatch& patch)
{
    Layer3Header header;
    if (frame.size() < 4 || !ParseLayer3Header(frame.data(), header) || frame.size() != header.frameBytes)
        return false;
    // Where the decoder looks, whatever the frame's own CRC bit says.
    const size_t xing = 4 + header.sideInfoBytes;
    if (frame.size() < xing + 8)
        return false;
    const bool isXing = std::memcmp(&frame[xing], "Xing", 4) == 0;
    if (!isXing && std::memcmp(&frame[xing], "Info", 4) != 0)
        return false;
    const uint32_t flags = uint32_t(frame[xing + 4]) << 24 | uint32_t(frame[xing + 5]) << 16 |
                           uint32_t(frame[xing + 6]) << 8 | frame[xing + 7];
    if ((flags & 7) != 7)
        return false;
    const size_t frameCountAt = xing + 8;
    const size_t byteCountAt = frameCountAt + 4;
    const size_t tocAt = byteCountAt + 4;
    const size_t lameAt = tocAt + 100 + ((flags & 8) ? 4 : 0);
    // The extension's fields, from its encoder name on (VbrTag.c).
    constexpr size_t kPeak = 11, kDelayPadding = 21, kMusicLength = 28, kMusicCrc = 32, kFrameCrc = 34;
    if (frame.size() < lameAt + kFrameCrc + 2 || frame[lameAt] == 0 || patch.delay > 0xFFF || patch.padding > 0xFFF)
        return false;
    if (patch.isVariable && !isXing)
        std::memcpy(&frame[xing], "Xing", 4);
    const uint32_t streamBytes = uint32_t(patch.audioBytes + frame.size());
    PutBigEndian(&frame[frameCountAt], patch.toc.FrameCount(), 4);
    PutBigEndian(&frame[byteCountAt], streamBytes, 4);
    const std::vector<uint8_t> toc = patch.toc.Entries();
    std::memcpy(&frame[tocAt], toc.data(), toc.size());
    // The peak and both ReplayGain values.
    std::memset(&frame[lameAt + kPeak], 0, 8);
    PutBigEndian(&frame[lameAt + kDelayPadding], patch.delay << 12 | patch.padding, 3);
    PutBigEndian(&frame[lameAt + kMusicLength], streamBytes, 4);
    PutBigEndian(&frame[lameAt + kMusicCrc], patch.musicCrc, 2);
    PutBigEndian(&frame[lameAt + kFrameCrc], Crc16Arc(0, frame.data(), lameAt + kFrameCrc), 2);
    return true;
}

}  // namespace brindle

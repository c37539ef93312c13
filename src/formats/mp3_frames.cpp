#include "formats/mp3_frames.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unistd.h>

#include "formats/check.h"
#include "storage/file_io.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

using detail::Check;
using detail::CheckNotCancelled;

constexpr uint32_t kBitratesMpeg1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
constexpr uint32_t kBitratesMpeg2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
constexpr uint32_t kSampleRates[4] = {44100, 48000, 32000, 0};

// libmpg123's own numbers (frame.h, frame.c): the decoder delay it adds to an encoder's delay, and the
// frames it decodes ahead of the first one it keeps.
constexpr uint64_t kDecoderDelay = 529;
constexpr uint64_t kPreFrames = 4;
// How many lead-in starts LeadInStart tries below the latest one that feeds enough main data.
constexpr uint32_t kLeadInSearch = 64;

uint32_t BigEndian32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// Reads the file through one window with pread; the file must keep the size it had when opened.
class WindowReader {
public:
    WindowReader(int fd, uint64_t size) : fd_(fd), size_(size), window_(kWindowBytes) {}

    // The n bytes at offset, or null when they reach past the end of the file.
    const uint8_t* At(uint64_t offset, uint32_t n)
    {
        if (offset + n > size_)
            return nullptr;
        if (offset < start_ || offset + n > start_ + filled_) {
            const uint64_t wanted = std::min<uint64_t>(kWindowBytes, size_ - offset);
            const int64_t got = ReadFullyAt(fd_, window_.data(), size_t(wanted), int64_t(offset));
            if (got < 0)
                ThrowSystem();
            if (got != int64_t(wanted))
                throw Failure({FailureKind::System, "the file shrank while it was read"});
            start_ = offset;
            filled_ = wanted;
        }
        return window_.data() + (offset - start_);
    }

private:
    static constexpr uint32_t kWindowBytes = 256 * 1024;
    int fd_;
    uint64_t size_;
    std::vector<uint8_t> window_;
    uint64_t start_ = 0;
    uint64_t filled_ = 0;
};

// The bytes an ID3v2 tag at p takes (header, body and footer), or 0 when p holds none.
uint64_t Id3v2Bytes(const uint8_t* p)
{
    if (std::memcmp(p, "ID3", 3) != 0 || p[3] == 0xFF || p[4] == 0xFF)
        return 0;
    for (int i = 6; i < 10; ++i) {
        if (p[i] & 0x80)
            return 0;
    }
    const uint64_t body = uint64_t(p[6]) << 21 | uint64_t(p[7]) << 14 | uint64_t(p[8]) << 7 | p[9];
    return 10 + body + ((p[5] & 0x10) ? 10 : 0);
}

// What libmpg123 makes of a first frame that is a Xing or LAME info frame (parse.c, check_lame_tag):
// whether it is one (then it is not decoded), and the samples it tells the decoder to keep.
struct InfoFrame {
    bool isInfoFrame = false;
    bool hasFrameCount = false;
    uint32_t frameCount = 0;
    bool isGapless = false;
    uint64_t keepBegin = 0;
    uint64_t keepEnd = 0;  // in samples of frameCount whole frames
};

InfoFrame ReadInfoFrame(const Layer3Header& header, const uint8_t* frame)
{
    InfoFrame info;
    // libmpg123 looks at the bytes after the header, CRC or not.
    const uint8_t* body = frame + 4;
    const uint32_t bodyBytes = header.frameBytes - 4;
    uint32_t at = header.channelCount == 2 ? (header.isMpeg1 ? 32 : 17) : (header.isMpeg1 ? 17 : 9);
    if (bodyBytes < at + 8)
        return info;
    for (uint32_t i = 2; i < at; ++i) {
        if (body[i] != 0)
            return info;
    }
    if (std::memcmp(body + at, "Info", 4) != 0 && std::memcmp(body + at, "Xing", 4) != 0)
        return info;
    info.isInfoFrame = true;
    at += 4;
    const uint32_t flags = BigEndian32(body + at);
    at += 4;
    auto gapless = [&](uint64_t frames, uint64_t delay, uint64_t padding) {
        info.isGapless = frames > 0;
        info.keepBegin = info.isGapless ? delay + kDecoderDelay : 0;
        info.keepEnd = info.isGapless ? frames * header.samplesPerFrame - padding + kDecoderDelay : 0;
    };
    // Each field counts only when the frame holds it; the first missing one ends the reading.
    if (flags & 1) {
        if (bodyBytes < at + 4)
            return info;
        info.hasFrameCount = true;
        info.frameCount = BigEndian32(body + at);
        at += 4;
        gapless(info.frameCount, 0, 0);
    }
    for (const auto& [flag, bytes] : {std::pair{2u, 4u}, std::pair{4u, 100u}, std::pair{8u, 4u}}) {
        if (flags & flag) {
            if (bodyBytes < at + bytes)
                return info;
            at += bytes;
        }
    }
    if (bodyBytes < at + 24 || body[at] == 0)
        return info;
    const uint32_t delay = uint32_t(body[at + 21]) << 4 | body[at + 22] >> 4;
    const uint32_t padding = (uint32_t(body[at + 22]) << 8 | body[at + 23]) & 0xFFF;
    gapless(info.hasFrameCount ? info.frameCount : 0, delay, padding);
    return info;
}

bool IsSameStream(const Layer3Header& a, const Layer3Header& b)
{
    return a.isMpeg1 == b.isMpeg1 && a.sampleRate == b.sampleRate && a.channelCount == b.channelCount &&
           a.hasCrc == b.hasCrc;
}

class BitReader {
public:
    explicit BitReader(const uint8_t* bytes) : bytes_(bytes) {}
    uint32_t Read(uint32_t bits)
    {
        uint32_t value = 0;
        for (uint32_t i = 0; i < bits; ++i, ++at_)
            value = value << 1 | ((bytes_[at_ / 8] >> (7 - at_ % 8)) & 1);
        return value;
    }

private:
    const uint8_t* bytes_;
    uint32_t at_ = 0;
};

// What the side information at side holds that decides whether libmpg123 (layer3.c) runs a frame
// through the synthesis or drops it part-way: the main-data bits its granules claim, and whether a
// granule asks for window switching with the normal block type, which the decoder refuses.
struct SideInfoSummary {
    uint32_t part23Bits = 0;  // all granules and channels
    bool isRefused = false;
};

SideInfoSummary SummariseSideInfo(const Layer3Header& header, const uint8_t* side)
{
    SideInfoSummary summary;
    BitReader bits(side);
    const uint32_t channels = header.channelCount;
    bits.Read(header.isMpeg1 ? 9 : 8);                                          // main_data_begin
    bits.Read(header.isMpeg1 ? (channels == 1 ? 5 : 3) : (channels == 1 ? 1 : 2));  // private bits
    if (header.isMpeg1)
        bits.Read(4 * channels);  // scfsi
    const uint32_t granules = header.isMpeg1 ? 2 : 1;
    for (uint32_t g = 0; g < granules; ++g) {
        for (uint32_t c = 0; c < channels; ++c) {
            summary.part23Bits += bits.Read(12);
            bits.Read(9 + 8 + (header.isMpeg1 ? 4 : 9));  // big_values, global_gain, scalefac_compress
            if (bits.Read(1)) {                            // window switching
                if (bits.Read(2) == 0)
                    summary.isRefused = true;
                bits.Read(1 + 10 + 9);
            } else {
                bits.Read(15 + 4 + 3);
            }
            bits.Read(header.isMpeg1 ? 3 : 2);
        }
    }
    return summary;
}

// The part2_3_length libmpg123 reads for a frame it silences (layer3.c, III_get_side_info): it
// rewrites main_data_begin and clears the side information from its third byte on, which in MPEG-2
// and 2.5 leaves the top bits of the first granule's part2_3_length in the second byte.
uint32_t SilencedPart23(const Layer3Header& header, const uint8_t* side)
{
    if (header.isMpeg1)
        return 0;
    return header.channelCount == 1 ? uint32_t(side[1] & 0x7F) << 5 : uint32_t(side[1] & 0x3F) << 6;
}

// Whether a decoder that holds `reservoir` bytes for a frame silences it, and if so whether it then
// drops it: the silenced frame's leftover part2_3_length is more than the bits it has.
struct Silencing {
    bool isSilenced = false;
    bool isDropped = false;
};

Silencing SilencingOf(uint32_t mainDataBegin, uint32_t silencedPart23, uint32_t area, uint32_t reservoir)
{
    Silencing silencing;
    silencing.isSilenced = mainDataBegin > reservoir;
    silencing.isDropped = silencing.isSilenced && silencedPart23 > 8 * (uint64_t(area) + reservoir);
    return silencing;
}

uint32_t ReservoirCap(const Layer3Header& header) { return header.isMpeg1 ? 511 : 255; }

// XXH64 (Yann Collet's xxHash, BSD-licensed), written out here rather than linked for one function.
// It hashes at several GB/s, far faster than the frames are read, and with 64 bits a changed frame
// passes for the old one about once in 2^64; a CRC-32 (zlib's) would be slower and weaker, and a
// rewrite of a user's file is an accident, not an attack, so a cryptographic hash would buy nothing.
constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr uint64_t kPrime3 = 0x165667B19E3779F9ULL;
constexpr uint64_t kPrime4 = 0x85EBCA77C2B2AE63ULL;
constexpr uint64_t kPrime5 = 0x27D4EB2F165667C5ULL;

template <typename T>
T LittleEndian(const uint8_t* p)
{
    T value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        T swapped = 0;
        for (size_t i = 0; i < sizeof value; ++i)
            swapped = T(swapped << 8 | p[sizeof value - 1 - i]);
        value = swapped;
    }
    return value;
}

uint64_t XxhRound(uint64_t accumulator, uint64_t input)
{
    return std::rotl(accumulator + input * kPrime2, 31) * kPrime1;
}

uint64_t XxhMerge(uint64_t hash, uint64_t accumulator)
{
    return (hash ^ XxhRound(0, accumulator)) * kPrime1 + kPrime4;
}

}  // namespace

bool ParseLayer3Header(const uint8_t* bytes, Layer3Header& header)
{
    if (bytes[0] != 0xFF || (bytes[1] & 0xE0) != 0xE0)
        return false;
    const uint32_t version = (bytes[1] >> 3) & 3;  // 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5, 1 reserved
    const uint32_t layer = (bytes[1] >> 1) & 3;    // 1 = layer III
    const uint32_t bitrateIndex = bytes[2] >> 4;
    const uint32_t rateIndex = (bytes[2] >> 2) & 3;
    if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return false;
    header.isMpeg1 = version == 3;
    header.sampleRate = kSampleRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    header.bitrateKbps = header.isMpeg1 ? kBitratesMpeg1[bitrateIndex] : kBitratesMpeg2[bitrateIndex];
    header.channelCount = (bytes[3] >> 6) == 3 ? 1 : 2;
    header.hasCrc = (bytes[1] & 1) == 0;
    const uint32_t padding = (bytes[2] >> 1) & 1;
    header.frameBytes = (header.isMpeg1 ? 144000 : 72000) * header.bitrateKbps / header.sampleRate + padding;
    header.samplesPerFrame = header.isMpeg1 ? 1152 : 576;
    header.sideInfoBytes = header.isMpeg1 ? (header.channelCount == 1 ? 17 : 32) : (header.channelCount == 1 ? 9 : 17);
    return true;
}

uint32_t MainDataBegin(const Layer3Header& header, const uint8_t* frame)
{
    const uint8_t* side = frame + header.SideInfoOffset();
    return header.isMpeg1 ? (uint32_t(side[0]) << 1 | side[1] >> 7) : side[0];
}

uint64_t HashFrameBytes(const uint8_t* p, size_t count)
{
    const uint8_t* const end = p + count;
    uint64_t hash = kPrime5;
    if (count >= 32) {
        uint64_t v[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
        for (; end - p >= 32; p += 32) {
            for (int lane = 0; lane < 4; ++lane)
                v[lane] = XxhRound(v[lane], LittleEndian<uint64_t>(p + 8 * lane));
        }
        hash = std::rotl(v[0], 1) + std::rotl(v[1], 7) + std::rotl(v[2], 12) + std::rotl(v[3], 18);
        for (uint64_t lane : v)
            hash = XxhMerge(hash, lane);
    }
    hash += count;
    for (; end - p >= 8; p += 8)
        hash = std::rotl(hash ^ XxhRound(0, LittleEndian<uint64_t>(p)), 27) * kPrime1 + kPrime4;
    if (end - p >= 4) {
        hash = std::rotl(hash ^ LittleEndian<uint32_t>(p) * kPrime1, 23) * kPrime2 + kPrime3;
        p += 4;
    }
    for (; p < end; ++p)
        hash = std::rotl(hash ^ *p * kPrime5, 11) * kPrime1;
    hash = (hash ^ hash >> 33) * kPrime2;
    hash = (hash ^ hash >> 29) * kPrime3;
    return hash ^ hash >> 32;
}

int IndexMp3Frames(int fd, uint64_t size, Progress* progress, Mp3FrameIndex& index)
{
    index = Mp3FrameIndex();
    return Guarded([&] {
        WindowReader reader(fd, size);
        uint64_t at = 0;
        while (const uint8_t* tag = reader.At(at, 10)) {
            const uint64_t bytes = Id3v2Bytes(tag);
            if (bytes == 0)
                break;
            at += bytes;
        }
        const uint8_t* bytes = reader.At(at, 4);
        Layer3Header first;
        if (!bytes || !ParseLayer3Header(bytes, first)) {
            index.notSplittable = "no layer III frame where the audio starts";
            return true;
        }
        InfoFrame info;
        if (const uint8_t* frame = reader.At(at, first.frameBytes)) {
            info = ReadInfoFrame(first, frame);
            if (info.isInfoFrame) {
                index.infoFrameOffset = uint32_t(at);
                index.infoFrameBytes = first.frameBytes;
                index.infoFrameHash = HashFrameBytes(frame, first.frameBytes);
                at += first.frameBytes;
            }
        }
        const Layer3Header infoHeader = first;

        uint32_t reservoir = 0;      // what a whole-file decode holds for the next frame's main data
        uint32_t previousReach = 0;  // how far back the previous frame's buffer holds main data
        uint64_t lastPercentAt = 0;
        while (const uint8_t* head = reader.At(at, 4)) {
            Layer3Header header;
            if (!ParseLayer3Header(head, header))
                break;
            // The whole frame, for its hash: the window holds it, so this is no second read.
            const uint8_t* frame = reader.At(at, header.frameBytes);
            if (!frame) {
                index.notSplittable = "a frame cut short";
                return true;
            }
            if (index.offsets.empty())
                index.format = header;
            else if (!IsSameStream(header, index.format)) {
                index.notSplittable = "a header change";
                return true;
            }
            const uint8_t* side = frame + header.SideInfoOffset();
            const uint32_t area = header.MainDataArea();
            const uint32_t begin = MainDataBegin(header, frame);
            // Main data runs in file order, so no frame can reach back past what the one before it
            // reached plus its own area; a damaged field that does would make the decoder read bytes
            // that a decoder started elsewhere does not hold.
            if (!index.offsets.empty() && begin > previousReach) {
                index.notSplittable = "main data out of order";
                return true;
            }
            const uint32_t silencedPart23 = SilencedPart23(header, side);
            const Silencing silencing = SilencingOf(begin, silencedPart23, area, reservoir);
            // A frame whose side information the decoder refuses, or whose granules claim more bits
            // than it has, is dropped part-way through the synthesis, which moves the synthesis
            // window of every later frame of a whole-file decode.
            const SideInfoSummary summary = SummariseSideInfo(header, side);
            const uint32_t held = std::min(begin, reservoir);
            if (!silencing.isSilenced && (summary.isRefused || summary.part23Bits > 8 * (uint64_t(area) + held))) {
                index.notSplittable = "damaged side information";
                return true;
            }
            if (silencing.isDropped)
                index.droppedFrames.push_back(uint32_t(index.mainDataBegin.size()));
            index.offsets.push_back(uint32_t(at));
            index.mainDataBegin.push_back(uint16_t(begin));
            index.frameHashes.push_back(HashFrameBytes(frame, header.frameBytes));
            index.silencedPart23.push_back(uint16_t(silencedPart23));
            previousReach = held + area;
            reservoir = std::min(ReservoirCap(header), reservoir + area);
            at += header.frameBytes;
            CheckNotCancelled(progress);
            if (progress && at - lastPercentAt >= size / 64) {
                lastPercentAt = at;
                progress->SetPercent(float(double(at) * 100.0 / double(size)));
            }
        }
        index.offsets.push_back(uint32_t(at));

        const uint64_t rest = size - at;
        const uint8_t* trailer = rest == 128 ? reader.At(at, 3) : nullptr;
        if (rest != 0 && !(trailer && std::memcmp(trailer, "TAG", 3) == 0)) {
            index.notSplittable = "something other than frames after the first frame";
            return true;
        }
        const uint32_t frames = index.FrameCount();
        // One frame alone is not even decoded: the decoder waits for a second header to trust it.
        if (frames < 2) {
            index.notSplittable = "fewer than two frames";
            return true;
        }
        if (info.isInfoFrame && !IsSameStream(infoHeader, index.format)) {
            index.notSplittable = "an info frame of another stream";
            return true;
        }
        if (info.hasFrameCount && info.frameCount != frames) {
            index.notSplittable = "a frame count other than the info frame's";
            return true;
        }
        const uint64_t spf = index.format.samplesPerFrame;
        const uint64_t decoded = uint64_t(frames) * spf;
        index.keepBegin = info.isGapless ? info.keepBegin : 0;
        index.keepEnd = info.isGapless ? std::min(info.keepEnd, decoded) : decoded;
        if (index.keepEnd <= index.keepBegin) {
            index.notSplittable = "no samples left once the delays are taken off";
            return true;
        }
        // A sound of 4 GiB of 16-bit samples or more is refused by the whole-file decode itself.
        if ((index.keepEnd - index.keepBegin) * index.format.channelCount * 2 > UINT32_MAX - 36) {
            index.notSplittable = "too long";
            return true;
        }
        // libmpg123 skips the frames before this one undecoded, which moves its synthesis window.
        if (index.keepBegin / spf > kPreFrames) {
            index.notSplittable = "an encoder delay longer than the decoder's preroll";
            return true;
        }
        return true;
    });
}

std::optional<uint32_t> LeadInStart(const Mp3FrameIndex& index, uint32_t start)
{
    const uint32_t granuleFrames = index.format.isMpeg1 ? 1 : 2;
    const uint32_t period = index.format.isMpeg1 ? 4 : 8;  // frames per turn of the synthesis ring
    if (start < granuleFrames)
        return 0;
    // The frame whose decoded second half the first frame of the range overlaps with, directly
    // (MPEG-1) or through the frame between (MPEG-2): its main data must all have been fed.
    const uint32_t needed = start - granuleFrames;
    uint32_t latest = needed;
    uint64_t reach = 0;  // how far back the needed frame's main data starts, in bytes from its own area
    while (reach < index.mainDataBegin[needed] && latest > 0)
        reach += index.MainDataArea(--latest);
    if (reach < index.mainDataBegin[needed])
        return 0;
    const auto droppedBefore = std::lower_bound(index.droppedFrames.begin(), index.droppedFrames.end(), start);
    const uint32_t wholeDropped = uint32_t(droppedBefore - index.droppedFrames.begin());

    for (uint32_t from = latest; from > 0 && from + kLeadInSearch > latest; --from) {
        uint32_t reservoir = 0;
        uint32_t dropped = 0;
        for (uint32_t j = from; j < start; ++j) {
            const uint32_t area = index.MainDataArea(j);
            dropped += SilencingOf(index.mainDataBegin[j], index.silencedPart23[j], area, reservoir).isDropped;
            reservoir = std::min(ReservoirCap(index.format), reservoir + area);
        }
        // Both decoders must have synthesised the same number of frames, modulo the ring's turn.
        if ((from + dropped + period - wholeDropped % period) % period == 0)
            return from;
    }
    if (latest < kLeadInSearch)
        return 0;
    return std::nullopt;
}

std::vector<std::pair<uint32_t, uint32_t>> SilencedFrames(const Mp3FrameIndex& index, uint32_t from, uint32_t start)
{
    std::vector<std::pair<uint32_t, uint32_t>> silenced;
    uint32_t reservoir = 0;
    for (uint32_t j = from; j < start; ++j) {
        const uint32_t area = index.MainDataArea(j);
        if (SilencingOf(index.mainDataBegin[j], index.silencedPart23[j], area, reservoir).isSilenced)
            silenced.emplace_back(j, reservoir);
        reservoir = std::min(ReservoirCap(index.format), reservoir + area);
    }
    return silenced;
}

}  // namespace brindle

#include "formats/mp3_lossless.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "formats/check.h"
#include "formats/lame_adapter.h"
#include "formats/mp3_info_frame.h"
#include "formats/mp3_range_decode.h"
#include "storage/file_io.h"
#include "storage/sample_store.h"
#include "storage/sound_buffer.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

using detail::Check;
using detail::CheckNotCancelled;

constexpr int64_t kDecoderDelay = 529;
constexpr int64_t kLameDelay = 576;  // the encoder's own, which the feeding below counts on
constexpr int64_t kMaxField = 4095;  // delay and padding are 12 bits each
constexpr int64_t kPreFrames = 4;    // libmpg123 synthesises from the first frame while the delay is within these
// Samples either side of a seam whose frames are encoded anew: the copied frames next to a seam must
// not carry audio of the other side (a granule's window spans two granules, the filter bank 512 more).
constexpr int64_t kSeamMargin = 1728;
// Samples an encoder of a seam is fed before its first kept frame and after its last.
constexpr int64_t kPriming = 3456;
constexpr int64_t kLookAhead = 2304;
// Frames a seam may move by to make room for the reservoir or to match the window types.
constexpr int64_t kSeamReach = 8;
constexpr int64_t kNone = INT64_MIN;
// Runs of more frames than this are encoded at most at the source's bit rate and at the quality of a
// full encode; shorter ones at the highest bit rate and the best quality.
constexpr int64_t kLongRun = 64;
constexpr int kLongRunQuality = 4;

int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

struct NotPossible {
    std::string why;
};

[[noreturn]] void Refuse(std::string why) { throw NotPossible{std::move(why)}; }

// The stat identity of a source says nothing of a rewrite that kept its size and times: only its bytes do.
constexpr const char* kSourceChanged = "the MP3 file changed since it was opened";

void ReadExactly(int fd, uint8_t* bytes, size_t count, uint64_t offset)
{
    const int64_t got = ReadFullyAt(fd, bytes, count, int64_t(offset));
    if (got < 0)
        ThrowSystem();
    if (got != int64_t(count))
        ThrowFormat("the MP3 file shrank since it was opened");
}

// The output, written in order through a buffer, with the music CRC and the table of contents kept.
class FrameWriter {
public:
    explicit FrameWriter(int fd) : fd_(fd) { buffer_.reserve(kBytes); }
    void Put(const uint8_t* bytes, size_t count)
    {
        if (buffer_.size() + count > kBytes)
            Flush();
        buffer_.insert(buffer_.end(), bytes, bytes + count);
    }
    // Audio frames: counted in the info frame's totals.
    void PutFrame(const uint8_t* frame, const Layer3Header& header)
    {
        Put(frame, header.frameBytes);
        toc_.Add(header.bitrateKbps);
        crc_ = Crc16Arc(crc_, frame, header.frameBytes);
        audioBytes_ += header.frameBytes;
        kbps_.push_back(header.bitrateKbps);
    }
    void Flush()
    {
        WriteAt(buffer_.data(), buffer_.size(), offset_);
        offset_ += buffer_.size();
        buffer_.clear();
    }
    void WriteAt(const uint8_t* bytes, size_t count, uint64_t offset) const
    {
        if (!WriteFullyAt(fd_, bytes, count, int64_t(offset)))
            ThrowSystem();
    }
    const XingTableOfContents& Toc() const { return toc_; }
    uint16_t MusicCrc() const { return crc_; }
    uint64_t AudioBytes() const { return audioBytes_; }
    bool IsVariable() const
    {
        return std::any_of(kbps_.begin(), kbps_.end(), [&](uint32_t k) { return k != kbps_.front(); });
    }

private:
    static constexpr size_t kBytes = 1 << 20;
    int fd_;
    uint64_t offset_ = 0;
    std::vector<uint8_t> buffer_;
    XingTableOfContents toc_;
    uint16_t crc_ = 0;
    uint64_t audioBytes_ = 0;
    std::vector<uint32_t> kbps_;
};

// Per granule and channel of a frame: its main data bits and its block type (0 long, 1 start, 2
// short, 3 stop).
struct Granules {
    uint32_t part23Bits = 0;
    uint8_t firstTypes[2] = {0, 0};  // of the first granule, per channel
    uint8_t lastTypes[2] = {0, 0};   // of the last
};

Granules ReadGranules(const Layer3Header& header, const uint8_t* frame)
{
    Granules granules;
    const uint8_t* side = frame + header.SideInfoOffset();
    uint32_t at = 0;
    auto read = [&](uint32_t bits) {
        uint32_t value = 0;
        for (uint32_t i = 0; i < bits; ++i, ++at)
            value = value << 1 | ((side[at / 8] >> (7 - at % 8)) & 1);
        return value;
    };
    const uint32_t channels = header.channelCount;
    read(header.isMpeg1 ? 9 : 8);
    read(header.isMpeg1 ? (channels == 1 ? 5 : 3) : (channels == 1 ? 1 : 2));
    if (header.isMpeg1)
        read(4 * channels);
    const uint32_t count = header.isMpeg1 ? 2 : 1;
    for (uint32_t g = 0; g < count; ++g) {
        for (uint32_t c = 0; c < channels; ++c) {
            granules.part23Bits += read(12);
            read(9 + 8 + (header.isMpeg1 ? 4 : 9));
            uint8_t type = 0;
            if (read(1)) {
                type = uint8_t(read(2));
                read(1 + 10 + 9);
            } else {
                read(15 + 4 + 3);
            }
            read(header.isMpeg1 ? 3 : 2);
            if (g == 0)
                granules.firstTypes[c] = type;
            if (g + 1 == count)
                granules.lastTypes[c] = type;
        }
    }
    if (channels == 1) {
        granules.firstTypes[1] = granules.firstTypes[0];
        granules.lastTypes[1] = granules.lastTypes[0];
    }
    return granules;
}

// Whether a granule of type `next` may follow one of type `previous`: a long or stop window ends
// long, a start or short window ends short, and the next must begin the same way.
bool WindowsJoin(uint8_t previous, uint8_t next)
{
    const bool endsShort = previous == 1 || previous == 2;
    const bool beginsShort = next == 2 || next == 3;
    return endsShort == beginsShort;
}

// The layer III frame CRC: polynomial 0x8005, MSB first, from 0xFFFF, over header bytes 2 and 3 and
// the side information.
void PutFrameCrc(std::vector<uint8_t>& frame, const Layer3Header& header)
{
    uint32_t crc = 0xFFFF;
    auto feed = [&](uint8_t byte) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = ((crc >> 15) & 1) != ((byte >> bit) & 1);
            crc = (crc << 1) & 0xFFFF;
            if (top)
                crc ^= 0x8005;
        }
    };
    feed(frame[2]);
    feed(frame[3]);
    for (uint32_t i = 0; i < header.sideInfoBytes; ++i)
        feed(frame[6 + i]);
    frame[4] = uint8_t(crc >> 8);
    frame[5] = uint8_t(crc);
}

using Frame = std::vector<uint8_t>;

Layer3Header HeaderOf(const Frame& frame)
{
    Layer3Header header;
    Check(frame.size() >= 4 && ParseLayer3Header(frame.data(), header), "the MP3 encoder wrote no frame");
    return header;
}

// Whether frame `next` may follow frame `previous` in both channels (see WindowsJoin).
bool Joins(const Frame& previous, const Frame& next)
{
    const Granules a = ReadGranules(HeaderOf(previous), previous.data());
    const Granules b = ReadGranules(HeaderOf(next), next.data());
    return WindowsJoin(a.lastTypes[0], b.firstTypes[0]) && WindowsJoin(a.lastTypes[1], b.firstTypes[1]);
}

// Frame `frame` (encoded anew, main data its own) made to end with `tail`, the main data the next frames
// take from it; its bit rate is raised as far as needed. false when no bit rate leaves room.
bool CarryReservoir(Frame& frame, const std::vector<uint8_t>& tail)
{
    if (tail.empty())
        return true;
    Layer3Header header = HeaderOf(frame);
    const uint32_t start = header.SideInfoOffset() + header.sideInfoBytes;
    const uint32_t own = (ReadGranules(header, frame.data()).part23Bits + 7) / 8;
    for (uint32_t index = frame[2] >> 4; index < 15; ++index) {
        Frame grown(frame.begin(), frame.begin() + start);
        grown[2] = uint8_t((grown[2] & 0x0F) | index << 4);
        Layer3Header bigger;
        if (!ParseLayer3Header(grown.data(), bigger) || bigger.frameBytes < start + own + tail.size())
            continue;
        grown.insert(grown.end(), frame.begin() + start, frame.begin() + start + own);
        grown.resize(bigger.frameBytes - tail.size(), 0);
        grown.insert(grown.end(), tail.begin(), tail.end());
        if (bigger.hasCrc)
            PutFrameCrc(grown, bigger);
        frame = std::move(grown);
        return true;
    }
    return false;
}

struct Segment {
    int64_t begin = 0;     // output slots [begin, end)
    int64_t end = 0;
    int64_t shift = kNone; // source frame = slot + shift; kNone: encoded anew
};

class LosslessWriter {
public:
    LosslessWriter(int sourceFd, const Mp3FrameIndex& index, const std::vector<KeptRange>& kept,
                   const SoundBuffer& sound, LameAdapter& adapter, int outFd, Progress* progress)
        : source_(sourceFd), index_(index), kept_(kept), sound_(sound), adapter_(adapter), out_(outFd),
          writer_(outFd), progress_(progress), n_(index.format.samplesPerFrame)
    {
    }

    LosslessExtent Run(std::vector<CopiedRun>& runs)
    {
        Plan();
        ReadSourceHeaders();
        EncodeRuns();
        Write();
        runs = Runs();
        const std::string wrong = CheckLosslessCopy(out_, sound_, runs, progress_);
        if (!wrong.empty())
            Refuse(wrong);
        return Extent();
    }

private:
    // Where every output slot comes from, and the delay that places them.
    void Plan()
    {
        const int64_t sourceDelay = int64_t(index_.keepBegin);
        const int64_t sourceLength = int64_t(index_.keepEnd - index_.keepBegin);
        const int64_t sourceFrames = index_.FrameCount();
        const int64_t grid = kLosslessGridSamples;
        std::vector<int64_t> starts;  // of each range in the output
        int64_t length = 0;
        for (const KeptRange& range : kept_) {
            Check(range.end > range.start && range.end <= sourceLength, "the sound is not a cut of its MP3");
            starts.push_back(length);
            length += range.end - range.start;
        }
        starts.push_back(length);
        length_ = length;
        starts_ = starts;
        if (kept_.size() == 1 && kept_[0].start == 0 && kept_[0].end == sourceLength) {
            delay_ = sourceDelay;
            frames_ = sourceFrames;
            segments_.push_back({0, frames_, 0});
            copyable_.assign(1, true);
            return;
        }

        const int64_t highest = std::min(kDecoderDelay + kMaxField, (kPreFrames + 1) * n_ - 1);
        auto residue = [&](size_t k, int64_t delay) { return int64_t(kept_[k].start) + sourceDelay - starts[k] - delay; };
        auto isCopyable = [&](size_t k, int64_t delay) { return FloorMod(residue(k, delay), n_) == 0; };
        // The delay that lets the most samples be copied. A range copies when it moves by whole frames;
        // it decodes exactly when it moves by whole turns of the synthesis ring, else the decoder's
        // rounding differs in a few samples -- still far closer than a new encoding.
        std::vector<int64_t> candidates;
        if (sourceDelay >= kDecoderDelay && sourceDelay <= highest)
            candidates.push_back(sourceDelay);
        for (size_t k = 0; k < kept_.size(); ++k) {
            for (int64_t delay = FloorMod(residue(k, 0), n_); delay <= highest; delay += n_) {
                if (delay >= kDecoderDelay)
                    candidates.push_back(delay);
            }
        }
        int64_t best = 0;
        for (int64_t delay : candidates) {
            int64_t score = 0;
            for (size_t k = 0; k < kept_.size(); ++k) {
                const int64_t moved = residue(k, delay);
                const int64_t samples = kept_[k].end - kept_[k].start;
                score += FloorMod(moved, n_) == 0 ? 2 * samples + (FloorMod(moved, grid) == 0 ? samples : 0) : 0;
            }
            if (score > best) {
                best = score;
                delay_ = delay;
            }
        }
        if (best == 0)
            Refuse("no encoder delay places the frames");
        for (size_t k = 0; k < kept_.size(); ++k)
            copyable_.push_back(isCopyable(k, delay_));

        const size_t last = kept_.size() - 1;
        const bool copiesToEnd = isCopyable(last, delay_) && kept_[last].end == sourceLength;
        frames_ = copiesToEnd ? sourceFrames - residue(last, delay_) / n_ : (length + delay_ + n_ - 1) / n_;
        padding_ = frames_ * n_ + kDecoderDelay - length - delay_;
        if (padding_ < 0 || padding_ > kMaxField || delay_ - kDecoderDelay > kMaxField)
            Refuse("the padding does not fit its field");

        std::vector<int64_t> shifts(size_t(frames_), kNone);
        for (size_t k = 0; k < kept_.size(); ++k) {
            if (!isCopyable(k, delay_))
                continue;
            const int64_t shift = residue(k, delay_) / n_;
            const int64_t left = starts[k] + delay_;
            const int64_t right = starts[k + 1] + delay_;
            int64_t first = k == 0 && shift == 0 ? 0 : (left + kSeamMargin + n_ - 1) / n_;
            int64_t end = k == last ? frames_ : FloorDiv(right - kSeamMargin, n_);
            first = std::max(first, -shift);
            end = std::min({end, sourceFrames - shift, frames_});
            for (int64_t p = first; p < end; ++p)
                shifts[size_t(p)] = shift;
        }
        for (int64_t p = 0; p < frames_;) {
            int64_t q = p + 1;
            while (q < frames_ && shifts[size_t(q)] == shifts[size_t(p)])
                ++q;
            segments_.push_back({p, q, shifts[size_t(p)]});
            p = q;
        }
        for (size_t i = 1; i < segments_.size(); ++i) {
            if (segments_[i - 1].shift != kNone && segments_[i].shift != kNone)
                Refuse("two copied runs meet without a seam");
        }
        if (std::none_of(segments_.begin(), segments_.end(), [](const Segment& s) { return s.shift != kNone; }))
            Refuse("no frame can be copied");
    }

    void ReadSourceHeaders()
    {
        std::memcpy(head_, SourceFrame(0).data(), 4);
        mode_ = head_[3] >> 6;
        uint8_t head[4];
        // The source's highest bit rate (from a sample of its frames), the cap of a long run's.
        for (uint32_t j = 0; j < index_.FrameCount(); j += std::max<uint32_t>(1, index_.FrameCount() / 4096)) {
            ReadExactly(source_, head, 4, index_.offsets[j]);
            Layer3Header header;
            Check(ParseLayer3Header(head, header), "the MP3 file changed since it was opened");
            highestIndex_ = std::max<uint32_t>(highestIndex_, head[2] >> 4);
        }
    }

    // The source's frame header with another bit rate index (and no padding).
    Layer3Header HeaderWithBitrate(uint32_t bitrateIndex) const
    {
        const uint8_t head[4] = {head_[0], head_[1], uint8_t((head_[2] & 0x0D) | bitrateIndex << 4), head_[3]};
        Layer3Header header;
        Check(ParseLayer3Header(head, header));
        return header;
    }

    // The highest bit rate whose frames, raised to the highest there is, leave room for `reach` bytes
    // of reservoir besides all their own data.
    uint32_t SeamBitrate(uint32_t reach) const
    {
        const uint32_t roomiest = HeaderWithBitrate(14).MainDataArea();
        for (uint32_t index = 14; index > 1; --index) {
            if (HeaderWithBitrate(index).MainDataArea() + reach <= roomiest)
                return HeaderWithBitrate(index).bitrateKbps;
        }
        return HeaderWithBitrate(1).bitrateKbps;
    }

    // The source frame j's bytes, which must still be those the index was made from.
    Frame SourceFrame(int64_t j) const
    {
        Frame frame(index_.FrameBytes(uint32_t(j)));
        ReadExactly(source_, frame.data(), frame.size(), index_.offsets[size_t(j)]);
        CheckUnchanged(j, frame.data());
        return frame;
    }

    void CheckUnchanged(int64_t j, const uint8_t* frame) const
    {
        if (HashFrameBytes(frame, index_.FrameBytes(uint32_t(j))) != index_.frameHashes[size_t(j)])
            Refuse(kSourceChanged);
    }

    // The last `count` bytes of main data before source frame j's own area.
    std::vector<uint8_t> MainDataBefore(int64_t j, uint32_t count) const
    {
        std::vector<uint8_t> bytes(count);
        uint32_t left = count;
        for (int64_t i = j - 1; i >= 0 && left > 0; --i) {
            const uint32_t area = index_.MainDataArea(uint32_t(i));
            const uint32_t take = std::min(area, left);
            // Read whole, for its hash; the area is the frame's end.
            const Frame frame = SourceFrame(i);
            std::memcpy(bytes.data() + (left - take), frame.data() + (frame.size() - take), take);
            left -= take;
        }
        if (left > 0)
            Refuse("a frame reaches before the first frame");
        return bytes;
    }

    // How many bytes before source frame j's area the frames from j on take main data from.
    uint32_t ReservoirReach(int64_t j) const
    {
        int64_t reach = 0;
        int64_t areas = 0;
        for (int64_t t = j; t < int64_t(index_.FrameCount()) && areas < 512; ++t) {
            reach = std::max(reach, int64_t(index_.mainDataBegin[size_t(t)]) - areas);
            areas += index_.MainDataArea(uint32_t(t));
        }
        return uint32_t(reach);
    }

    // The frames LAME writes for output slots [first, end), fed the sound's samples as it would be
    // fed for the whole file (zeros outside the sound).
    // Variable: LAME's VBR at `quality` up to kbps, which spends bits far better than its CBR without
    // the reservoir; else kbps exactly. With infoFrame, the encoder also writes its
    // info frame there (and its placeholder is dropped).
    std::vector<Frame> Encode(int64_t first, int64_t end, uint32_t kbps, bool variable, int quality = 0,
                              Frame* infoFrame = nullptr)
    {
        BE_CONFIG config = LameConfig(index_.format.sampleRate, int32_t(mode_));
        auto& lhv1 = config.format.LHV1;
        lhv1.dwReSampleRate = index_.format.sampleRate;
        lhv1.dwBitrate = variable ? HeaderWithBitrate(1).bitrateKbps : kbps;
        lhv1.dwMaxBitrate = kbps;
        lhv1.bEnableVBR = variable ? 1 : 0;
        lhv1.nVBRQuality = quality;
        lhv1.nPreset = LQP_HIGH_QUALITY;
        lhv1.dwMpegVersion = MPEG1;
        lhv1.bCRC = index_.format.hasCrc ? 1 : 0;
        lhv1.bNoRes = 1;
        lhv1.bWriteVBRHeader = infoFrame ? 1 : 0;
        std::unique_ptr<LameStream> stream;
        uint32_t chunk = 0;
        uint32_t outputBytes = 0;
        if (adapter_.beInitStream(&config, &chunk, &outputBytes, &stream) != BE_ERR_SUCCESSFUL || !stream)
            Refuse("the encoder refuses the source's format");
        const uint32_t channels = index_.format.channelCount;
        if (chunk == 0 || chunk % channels != 0 || chunk / channels != n_ ||
            adapter_.EncoderDelay(stream.get()) != kLameDelay ||
            adapter_.OutputSampleRate(stream.get()) != index_.format.sampleRate)
            Refuse("the encoder would not keep the source's frames");

        // LAME's frame f holds the raw samples [f N, (f + 1) N) of its input from kLameDelay + 529 on.
        const int64_t skip = (kPriming + n_ - 1) / n_;
        const int64_t from = (first - skip) * n_ + kLameDelay + kDecoderDelay - delay_;
        const int64_t to = end * n_ + kLameDelay + kDecoderDelay - delay_ + kLookAhead;
        std::vector<int16_t> input(chunk);
        std::vector<uint8_t> encoded(outputBytes);
        std::vector<uint8_t> pending;
        std::vector<Frame> frames;
        auto take = [&](uint32_t written) {
            Check(written <= outputBytes, "the MP3 encoder failed");
            pending.insert(pending.end(), encoded.begin(), encoded.begin() + written);
            size_t at = 0;
            Layer3Header header;
            while (pending.size() - at >= 4) {
                Check(ParseLayer3Header(&pending[at], header), "the MP3 encoder wrote no frame");
                if (pending.size() - at < header.frameBytes)
                    break;
                frames.emplace_back(pending.begin() + ptrdiff_t(at), pending.begin() + ptrdiff_t(at + header.frameBytes));
                at += header.frameBytes;
            }
            pending.erase(pending.begin(), pending.begin() + ptrdiff_t(at));
        };
        for (int64_t at = from; at < to;) {
            CheckNotCancelled(progress_);
            const int64_t count = std::min<int64_t>(n_, to - at);
            std::fill(input.begin(), input.end(), int16_t(0));
            const int64_t inside = std::max<int64_t>(at, 0);
            const int64_t insideEnd = std::min(at + count, length_);
            if (insideEnd > inside) {
                const uint32_t want = uint32_t(insideEnd - inside) * channels;
                Check(sound_.channels.ReadInterleaved16(&input[size_t(inside - at) * channels], want, uint32_t(inside)) ==
                          want,
                      "cannot read the sound to encode");
            }
            uint32_t written = 0;
            Check(adapter_.beEncodeChunk(stream.get(), uint32_t(count) * channels, input.data(), encoded.data(),
                                         &written) == BE_ERR_SUCCESSFUL,
                  "the MP3 encoder failed");
            take(written);
            at += count;
        }
        uint32_t written = 0;
        Check(adapter_.beDeinitStream(stream.get(), encoded.data(), &written) == BE_ERR_SUCCESSFUL,
              "the MP3 encoder failed");
        take(written);
        if (infoFrame) {
            *infoFrame = adapter_.InfoFrame(stream.get());
            Check(!frames.empty() && !infoFrame->empty(), "the MP3 encoder wrote no info frame");
            frames.erase(frames.begin());
        }
        adapter_.beCloseStream(stream.get());
        Check(int64_t(frames.size()) >= skip + end - first, "the MP3 encoder wrote too few frames");
        std::vector<Frame> kept(frames.begin() + skip, frames.begin() + skip + (end - first));
        for (const Frame& frame : kept) {
            const Layer3Header header = HeaderOf(frame);
            if (MainDataBegin(header, frame.data()) != 0 || header.sampleRate != index_.format.sampleRate ||
                header.channelCount != index_.format.channelCount || header.hasCrc != index_.format.hasCrc)
                Refuse("the encoder's frames do not fit the source's");
        }
        return kept;
    }

    // Encodes every run of new slots, moving its seams into the copied frames beside it where the
    // windows or the reservoir ask for it.
    void EncodeRuns()
    {
        for (size_t s = 0; s < segments_.size(); ++s) {
            Segment& run = segments_[s];
            if (run.shift != kNone)
                continue;
            Segment* before = s > 0 ? &segments_[s - 1] : nullptr;
            Segment* after = s + 1 < segments_.size() ? &segments_[s + 1] : nullptr;
            const int64_t first = before ? std::max(before->begin, run.begin - kSeamReach) : run.begin;
            const int64_t end = after ? std::min(after->end, run.end + kSeamReach) : run.end;
            // A run is encoded at the highest bit rate (a long one at the source's); the frame that
            // must carry reservoir bytes comes, if it has no room, from a second encoding at a bit rate
            // that leaves some.
            const bool isLong = end - first > kLongRun;
            const uint32_t top = HeaderWithBitrate(isLong ? highestIndex_ : 14).bitrateKbps;
            std::vector<Frame> frames = Encode(first, end, top, true, isLong ? kLongRunQuality : 0);
            auto at = [&](int64_t slot) -> Frame& { return frames[size_t(slot - first)]; };

            int64_t runBegin = run.begin;
            if (before) {
                // The new frame after the last copied one must take up its window.
                for (;; --runBegin) {
                    if (runBegin <= first || runBegin <= before->begin + 1)
                        Refuse("no seam joins the windows");
                    if (Joins(SourceFrame(runBegin - 1 + before->shift), at(runBegin)))
                        break;
                }
            }
            int64_t runEnd = run.end;
            std::vector<Frame> roomy;
            if (after) {
                for (;; ++runEnd) {
                    if (runEnd >= end || runEnd + 1 >= after->end)
                        Refuse("no seam carries the reservoir");
                    const int64_t j = runEnd + after->shift;
                    const Frame copied = SourceFrame(j);
                    const std::vector<uint8_t> carried = MainDataBefore(j, ReservoirReach(j));
                    Frame last = at(runEnd - 1);
                    if (Joins(last, copied) && CarryReservoir(last, carried)) {
                        at(runEnd - 1) = std::move(last);
                        break;
                    }
                    if (roomy.empty()) {
                        uint32_t reach = 0;
                        for (int64_t slot = run.end; slot < end; ++slot)
                            reach = std::max(reach, ReservoirReach(slot + after->shift));
                        roomy = Encode(first, end, SeamBitrate(reach), false);
                    }
                    last = roomy[size_t(runEnd - 1 - first)];
                    const bool joinsBefore = runEnd - 1 == runBegin || Joins(at(runEnd - 2), last);
                    if (joinsBefore && Joins(last, copied) && CarryReservoir(last, carried)) {
                        at(runEnd - 1) = std::move(last);
                        break;
                    }
                }
            }
            if (before)
                before->end = runBegin;
            if (after)
                after->begin = runEnd;
            run.begin = runBegin;
            run.end = runEnd;
            encoded_[run.begin] = std::vector<Frame>(frames.begin() + (runBegin - first), frames.begin() + (runEnd - first));
        }
    }

    void Write()
    {
        // The source's own frames as they were: its info frame, or none, still says all there is to say.
        const bool isUntouched = segments_.size() == 1 && segments_[0].shift == 0 &&
                                 frames_ == int64_t(index_.FrameCount()) && delay_ == int64_t(index_.keepBegin);
        // A source without one (too small a frame for it, or none written) gets the encoder's.
        Frame info(index_.infoFrameBytes);
        if (!info.empty()) {
            ReadExactly(source_, info.data(), info.size(), index_.infoFrameOffset);
            if (HashFrameBytes(info.data(), info.size()) != index_.infoFrameHash)
                Refuse(kSourceChanged);
        }
        else if (!isUntouched)
            Encode(0, 1, HeaderWithBitrate(14).bitrateKbps, false, 0, &info);
        writer_.Put(info.data(), info.size());  // rewritten at the end
        const int64_t total = frames_;
        int64_t done = 0;
        std::vector<uint8_t> chunk;
        for (const Segment& segment : segments_) {
            if (segment.shift == kNone) {
                for (const Frame& frame : encoded_.at(segment.begin))
                    writer_.PutFrame(frame.data(), HeaderOf(frame));
                done += segment.end - segment.begin;
                continue;
            }
            // Copied a megabyte or so at a time.
            for (int64_t j = segment.begin + segment.shift; j < segment.end + segment.shift;) {
                CheckNotCancelled(progress_);
                int64_t k = j;
                while (k < segment.end + segment.shift && index_.offsets[size_t(k)] - index_.offsets[size_t(j)] < (1u << 20))
                    ++k;
                const uint64_t offset = index_.offsets[size_t(j)];
                chunk.resize(index_.offsets[size_t(k)] - offset);
                ReadExactly(source_, chunk.data(), chunk.size(), offset);
                for (int64_t i = j; i < k; ++i) {
                    const uint8_t* frame = chunk.data() + (index_.offsets[size_t(i)] - offset);
                    CheckUnchanged(i, frame);
                    Layer3Header header;
                    Check(ParseLayer3Header(frame, header) && header.frameBytes == index_.FrameBytes(uint32_t(i)),
                          kSourceChanged);
                    writer_.PutFrame(frame, header);
                }
                done += k - j;
                j = k;
                if (progress_)
                    progress_->SetPercent(float(double(done) * 100.0 / double(total)));
            }
        }
        writer_.Flush();
        InfoFramePatch patch;
        patch.toc = writer_.Toc();
        patch.audioBytes = writer_.AudioBytes();
        patch.musicCrc = writer_.MusicCrc();
        patch.delay = uint32_t(delay_ - kDecoderDelay);
        patch.padding = uint32_t(padding_);
        patch.isVariable = writer_.IsVariable();
        if (patch.toc.FrameCount() != uint32_t(frames_))
            Refuse("the frames written are not the frames planned");
        if (isUntouched)
            return;
        if (!PatchInfoFrame(info, patch))
            Refuse("the info frame lacks the fields to rewrite");
        writer_.WriteAt(info.data(), info.size(), 0);
    }

    std::vector<CopiedRun> Runs() const
    {
        const int64_t turn = index_.format.isMpeg1 ? 4 : 8;  // frames per turn of the synthesis ring
        std::vector<CopiedRun> runs;
        for (const Segment& segment : segments_) {
            const CopiedRun::Kind kind = segment.shift == kNone              ? CopiedRun::Kind::Encoded
                                         : FloorMod(segment.shift, turn) == 0 ? CopiedRun::Kind::Copied
                                                                              : CopiedRun::Kind::CopiedShifted;
            runs.push_back({uint32_t(segment.begin), uint32_t(segment.end), kind});
        }
        return runs;
    }

    // What the new frames carry beyond the seams (LosslessExtent).
    LosslessExtent Extent() const
    {
        // The slots a seam may take, as output samples, merged where seams come close.
        std::vector<std::pair<int64_t, int64_t>> seams;
        auto addSeam = [&](int64_t at) {
            const int64_t first = FloorDiv(at + delay_ - kSeamMargin, n_) - kSeamReach;
            const int64_t end = FloorDiv(at + delay_ + kSeamMargin + n_ - 1, n_) + kSeamReach;
            const int64_t from = first * n_ - delay_, to = end * n_ - delay_;
            if (!seams.empty() && from <= seams.back().second)
                seams.back().second = std::max(seams.back().second, to);
            else
                seams.emplace_back(from, to);
        };
        if (kept_.front().start > 0)
            addSeam(0);
        for (size_t k = 1; k < kept_.size(); ++k)
            addSeam(starts_[k]);
        if (kept_.back().end < index_.keepEnd - index_.keepBegin)
            addSeam(length_);

        auto overlap = [](int64_t a, int64_t b, int64_t c, int64_t d) { return std::max<int64_t>(0, std::min(b, d) - std::max(a, c)); };
        int64_t offGrid = 0, moved = 0;
        for (size_t k = 0; k < kept_.size(); ++k) {
            if (!copyable_[k]) {
                offGrid += starts_[k + 1] - starts_[k];
                continue;
            }
            for (const Segment& segment : segments_) {
                if (segment.shift != kNone)
                    continue;
                const int64_t from = std::max(segment.begin * n_ - delay_, starts_[k]);
                const int64_t to = std::min(segment.end * n_ - delay_, starts_[k + 1]);
                if (to <= from)
                    continue;
                int64_t outside = to - from;
                for (const auto& [seamFrom, seamTo] : seams)
                    outside -= overlap(from, to, seamFrom, seamTo);
                moved += outside;
            }
        }
        LosslessExtent extent;
        extent.encodedFrames = uint64_t(offGrid + moved);
        if (offGrid > 0)
            extent.why = "a cut off the MP3's frame grid";
        if (moved > 0) {
            extent.why += extent.why.empty() ? "" : "; ";
            extent.why += index_.keepBegin < uint64_t(kDecoderDelay) ? "the MP3 does not give its encoder delay, so its start is encoded anew"
                                                                   : "its start is encoded anew to keep the frames after a cut";
        }
        return extent;
    }

    const int source_;
    const Mp3FrameIndex& index_;
    const std::vector<KeptRange>& kept_;
    const SoundBuffer& sound_;
    LameAdapter& adapter_;
    const int out_;
    FrameWriter writer_;
    Progress* const progress_;
    const int64_t n_;
    int64_t length_ = 0;
    int64_t delay_ = 0;  // encoder delay + 529
    int64_t frames_ = 0;
    int64_t padding_ = 0;
    uint32_t mode_ = 0;
    uint8_t head_[4] = {};
    uint32_t highestIndex_ = 1;
    std::vector<Segment> segments_;
    std::vector<int64_t> starts_;  // of each kept range in the sound, then its length
    std::vector<bool> copyable_;   // per kept range: placed on whole frames by the delay chosen
    std::map<int64_t, std::vector<Frame>> encoded_;
};

}  // namespace

std::optional<std::vector<KeptRange>> KeptSourceRanges(const SoundBuffer& sound,
                                                       const std::vector<const SampleStore*>& sourceStores)
{
    const uint16_t channels = sound.channels.ChannelCount();
    if (channels == 0 || channels != sourceStores.size())
        return std::nullopt;
    std::vector<KeptRange> ranges;
    for (uint16_t c = 0; c < channels; ++c) {
        std::vector<KeptRange> own;
        const bool kept = sound.channels.Channel(c).ForEachPiece([&](const Piece& piece, uint32_t) {
            // A piece under a gain reads other samples than the frames it came from.
            if (piece.store.get() != sourceStores[c] || piece.length == 0 || piece.gain)
                return false;
            const uint32_t end = piece.start + piece.length;
            if (!own.empty() && piece.start < own.back().end)
                return false;
            if (!own.empty() && piece.start == own.back().end)
                own.back().end = end;
            else
                own.push_back({piece.start, end});
            return true;
        });
        if (!kept)
            return std::nullopt;
        if (c == 0)
            ranges = std::move(own);
        else if (own.size() != ranges.size() ||
                 !std::equal(own.begin(), own.end(), ranges.begin(), [](const KeptRange& a, const KeptRange& b) {
                     return a.start == b.start && a.end == b.end;
                 }))
            return std::nullopt;
    }
    if (ranges.empty())
        return std::nullopt;
    return ranges;
}

std::string CheckLosslessCopy(int fd, const SoundBuffer& sound, const std::vector<CopiedRun>& runs, Progress* progress)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        ThrowSystem();
    Mp3FrameIndex copy;
    Check(IndexMp3Frames(fd, uint64_t(status.st_size), nullptr, copy) == 1);
    if (!copy.IsSplittable())
        return "the copy is not a plain run of frames: " + copy.notSplittable;
    if (copy.keepEnd - copy.keepBegin != sound.frameCount)
        return "the copy's frames give " + std::to_string(copy.keepEnd - copy.keepBegin) + " samples, not " +
               std::to_string(sound.frameCount);
    if (runs.empty() || copy.FrameCount() != runs.back().end)
        return "the copy holds " + std::to_string(copy.FrameCount()) + " frames, not the ones written";
    if (copy.format.sampleRate != sound.format.samplesPerSecond || copy.format.channelCount != sound.channels.ChannelCount())
        return "the copy's format is not the sound's";

    const uint64_t spf = copy.format.samplesPerFrame;
    const uint32_t frames = copy.FrameCount();
    const uint32_t channels = copy.format.channelCount;
    // After new frames, a copied frame decodes as it did in its source from where the new frames'
    // overlap (a granule) and the synthesis window (its 512 taps less one step) have run out.
    constexpr uint64_t kSettle = 576 + 480;
    struct Lossy {
        uint64_t begin = 0, end = 0;  // raw samples of the copy
    };
    struct Window {
        uint32_t from = 0, start = 0, end = 0;  // frames fed from `from`, compared over [start, end)
    };
    std::vector<Lossy> lossy;
    std::vector<Window> windows;
    for (const CopiedRun& run : runs) {
        if (run.kind != CopiedRun::Kind::Encoded)
            continue;
        lossy.push_back({run.begin * spf, run.end * spf + kSettle});
        const uint32_t start = run.begin > 0 ? run.begin - 1 : 0;
        // The frames after the run whose main data starts in it: the reservoir carried by its last frame.
        uint32_t independent = run.end;
        for (uint64_t areas = 0; independent < frames && copy.mainDataBegin[independent] > areas; ++independent)
            areas += copy.MainDataArea(independent);
        const uint64_t settled = (run.end * spf + kSettle) / spf + 2;  // one whole frame past the settling
        const uint32_t end = uint32_t(std::min<uint64_t>(frames, std::max<uint64_t>(independent + 1, settled)));
        const uint32_t from = LeadInStart(copy, start).value_or(0);
        if (!windows.empty() && from <= windows.back().end)
            windows.back().end = std::max(windows.back().end, end);
        else
            windows.push_back({from, start, end});
    }

    constexpr double kQuietFloor = 8.0 * 8.0;
    std::vector<int16_t> expected(spf * channels);
    std::string wrong;
    for (const Window& window : windows) {
        const auto result = detail::DecodeFrames(fd, copy, window.from, window.start, window.end,
                                                 [&](uint32_t frame, const int16_t* pcm) {
            CheckNotCancelled(progress);
            const uint64_t raw = frame * spf;
            const uint64_t lo = std::max(raw, copy.keepBegin);
            const uint64_t hi = std::min(raw + spf, copy.keepEnd);
            if (lo >= hi)
                return true;
            const uint32_t count = uint32_t(hi - lo) * channels;
            Check(sound.channels.ReadInterleaved16(expected.data(), count, uint32_t(lo - copy.keepBegin)) == count,
                  "cannot read the sound to check the copy");
            const auto run = std::upper_bound(runs.begin(), runs.end(), frame,
                                              [](uint32_t f, const CopiedRun& r) { return f < r.end; });
            const int tolerance = run != runs.end() && run->kind == CopiedRun::Kind::CopiedShifted ? 1 : 0;
            const auto near = std::partition_point(lossy.begin(), lossy.end(), [&](const Lossy& l) { return l.end <= lo; });
            double error = 0, signal = 0;
            uint32_t lossyCount = 0;
            for (uint64_t at = lo; at < hi; ++at) {
                bool isLossy = false;
                for (auto l = near; l != lossy.end() && l->begin <= at && !isLossy; ++l)
                    isLossy = at < l->end;
                for (uint32_t c = 0; c < channels; ++c) {
                    const double want = expected[size_t(at - lo) * channels + c];
                    const double got = pcm[size_t(at - raw) * channels + c];
                    if (isLossy) {
                        error += (got - want) * (got - want);
                        signal += want * want;
                        ++lossyCount;
                    } else if (std::abs(got - want) > tolerance) {
                        wrong = "the copy decodes otherwise than the sound at sample " +
                                std::to_string(at - copy.keepBegin) + ", beside a seam";
                        return false;
                    }
                }
            }
            // New frames are lossy, but encoded at no less than the source's bit rate they come some
            // 20 dB or more near the sound; a frame not even 6 dB nearer than silence is broken. Near
            // silence, a few steps of error are allowed whatever the sound.
            if (error > signal / 4 + kQuietFloor * lossyCount) {
                wrong = "the new frames of a seam decode far from the sound, at sample " + std::to_string(lo - copy.keepBegin);
                return false;
            }
            return true;
        });
        if (!wrong.empty())
            return wrong;
        if (result == detail::RangeDecode::Failed)
            detail::Throw();  // the reason was noted
        if (result != detail::RangeDecode::Done)
            return "the copy does not decode frame by frame at a seam";
    }
    return std::string();
}

LosslessWrite WriteLosslessMp3(int sourceFd, const Mp3FrameIndex& index, const std::vector<KeptRange>& kept,
                               const SoundBuffer& sound, LameAdapter& adapter, int outFd, Progress* progress,
                               std::string* whyNot, LosslessExtent* extent, std::vector<CopiedRun>* runs)
{
    std::string refused;
    if (!index.IsSplittable() || !index.droppedFrames.empty() || kept.empty() ||
        index.frameHashes.size() != index.FrameCount())
        refused = "the source's frames cannot be copied";
    else if (sound.format.samplesPerSecond != index.format.sampleRate ||
             sound.channels.ChannelCount() != index.format.channelCount)
        refused = "the sound's format is not the source's";
    int result = 0;
    if (refused.empty()) {
        result = Guarded([&] {
            try {
                std::vector<CopiedRun> made;
                const LosslessExtent written =
                    LosslessWriter(sourceFd, index, kept, sound, adapter, outFd, progress).Run(made);
                if (extent)
                    *extent = written;
                if (runs)
                    *runs = std::move(made);
            } catch (const NotPossible& reason) {
                refused = reason.why;
            }
            return true;
        });
    }
    if (whyNot)
        *whyNot = refused;
    if (!refused.empty())
        return LosslessWrite::NotPossible;
    return result ? LosslessWrite::Written : LosslessWrite::Failed;
}

}  // namespace brindle

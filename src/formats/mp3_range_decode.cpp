#include "formats/mp3_range_decode.h"

#include <mpg123.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <unistd.h>

#include "formats/range_outcome.h"
#include "storage/block_file.h"
#include "storage/file_io.h"
#include "storage/sample_conversion.h"
#include "storage/sound_buffer.h"
#include "tasks/failure.h"
#include "tasks/progress.h"
#include "tasks/worker_crew.h"

namespace brindle::detail {
namespace {

struct HandleCloser {
    void operator()(mpg123_handle* handle) const
    {
        mpg123_close(handle);
        mpg123_delete(handle);
    }
};
using Handle = std::unique_ptr<mpg123_handle, HandleCloser>;

using Outcome = RangeOutcome;

struct Range : RangeSpan {
    std::unique_ptr<PcmSink> sink;
    std::atomic<uint32_t> framesDone{0};
    Outcome outcome = Outcome::Done;
    FailureReason reason;  // of a failed range, taken on its own thread
};

[[noreturn]] void ThrowShrank() { throw Failure({FailureKind::System, "the file shrank while it was read"}); }

constexpr size_t kFeedBytes = 64 * 1024;

// Converted samples of one range on their way to the stores, written a run at a time: one write
// per channel and run rather than one per frame, never across a block of the stores (a write may
// not reach past the next block).
class StoreWriter final : public PcmSink {
public:
    StoreWriter(SoundBuffer& buffer, uint32_t channels) : buffer_(buffer), channels_(channels)
    {
        for (uint32_t c = 0; c < channels; ++c)
            pending_[c].reserve(kRunSamples);
    }

    // count frames of interleaved signed 16-bit samples for sound positions from `at` on; runs must
    // follow each other. false when a store could not be written.
    bool Put(uint32_t at, const uint8_t* pcm, uint32_t count) override
    {
        if (pendingCount_ != 0 && at != runStart_ + pendingCount_ && !Flush())
            return false;
        while (count > 0) {
            if (pendingCount_ == 0)
                runStart_ = at;
            const uint32_t blockRoom = kBlockSamples - (runStart_ + pendingCount_) % kBlockSamples;
            const uint32_t take = std::min({count, kRunSamples - pendingCount_, blockRoom});
            for (uint32_t c = 0; c < channels_; ++c) {
                const size_t had = pending_[c].size();
                pending_[c].resize(had + take);
                ConvertS16LeToFloat(pcm + 2 * c, channels_, pending_[c].data() + had, take);
            }
            pendingCount_ += take;
            pcm += size_t(take) * channels_ * 2;
            at += take;
            count -= take;
            if ((pendingCount_ == kRunSamples || take == blockRoom) && !Flush())
                return false;
        }
        return true;
    }

    bool Finish() override { return Flush(); }

private:
    bool Flush()
    {
        if (pendingCount_ == 0)
            return true;
        for (uint32_t c = 0; c < channels_; ++c) {
            if (!buffer_.channels.Channel(int(c)).WriteSamples(runStart_, pending_[c].data(), pendingCount_))
                return false;
            pending_[c].clear();
        }
        pendingCount_ = 0;
        return true;
    }

    static constexpr uint32_t kRunSamples = 65536;
    SoundBuffer& buffer_;
    uint32_t channels_;
    std::vector<float> pending_[2];
    uint32_t runStart_ = 0;
    uint32_t pendingCount_ = 0;
};

void ReadFully(int fd, uint8_t* destination, size_t count, uint64_t offset)
{
    const int64_t got = ReadFullyAt(fd, destination, count, int64_t(offset));
    if (got < 0)
        ThrowSystem();
    if (got != int64_t(count))
        ThrowShrank();
}

// Frames [from, end) of the file at fd through one fresh decoder, each from `start` on handed to take
// (its number, spf frames of interleaved 16-bit samples); take's false ends it Failed. Throws when
// the file cannot be read.
Outcome DecodeFrameRange(int fd, const Mp3FrameIndex& index, const std::string& synthesis, uint32_t from,
                         uint32_t start, uint32_t end, const std::atomic<bool>* stop,
                         const std::function<bool(uint32_t, const uint8_t*)>& take)
{
    const Layer3Header& format = index.format;
    const uint32_t channels = format.channelCount;
    const size_t frameBytes = size_t(format.samplesPerFrame) * channels * 2;

    int error = MPG123_OK;
    Handle handle(mpg123_new(synthesis.empty() ? nullptr : synthesis.c_str(), &error));
    if (!handle)
        return Outcome::NotVouched;
    mpg123_handle* h = handle.get();
    // Mid-file there is no info frame to trim by: the range keeps raw frames and the sound's
    // edges are cut once, by position. A frame that looks like an info frame is music here.
    if (mpg123_param(h, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0.0) != MPG123_OK ||
        mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_IGNORE_INFOFRAME, 0.0) != MPG123_OK ||
        mpg123_format_none(h) != MPG123_OK ||
        mpg123_format(h, long(format.sampleRate), int(channels), MPG123_ENC_SIGNED_16) != MPG123_OK ||
        mpg123_open_feed(h) != MPG123_OK)
        return Outcome::NotVouched;

    // The lead-in frames the decoder will silence for want of main data, with the reservoir it then
    // holds: they are fed silenced already, as libmpg123 silences them (layer3.c, III_get_side_info:
    // main_data_begin lowered to what it holds, the side information cleared from its third byte on),
    // so that it finds nothing to silence. With a CRC its own silencing clears two bytes too many, the
    // first two of the frame's main data area, which a later lead-in frame may read: the garbage can
    // make the decoder drop that frame unsynthesised, which moves the synthesis window for the rest of
    // the range and, with the generic synthesis, its rounding. A whole-file decode silences its first
    // frames with those two bytes, so a range fed from the first frame is left to do the same.
    const std::vector<std::pair<uint32_t, uint32_t>> silenced =
        format.hasCrc && from > 0 ? SilencedFrames(index, from, start) : std::vector<std::pair<uint32_t, uint32_t>>{};
    auto silence = [&](uint8_t* bytes, uint64_t at, size_t count) {
        for (const auto& [frame, reservoir] : silenced) {
            const uint64_t side = index.offsets[frame] + format.SideInfoOffset();
            for (uint32_t i = 0; i < format.sideInfoBytes; ++i) {
                if (side + i < at || side + i >= at + count)
                    continue;
                uint8_t& byte = bytes[side + i - at];
                if (i == 0)
                    byte = uint8_t(format.isMpeg1 ? reservoir >> 1 : reservoir);
                else if (i == 1 && format.isMpeg1)
                    byte = uint8_t((reservoir & 1) << 7);
                else if (i >= 2)
                    byte = 0;
            }
        }
    };

    // One frame past the range when there is one: the decoder holds back a first frame until
    // it has seen the header after it.
    const uint32_t frames = index.FrameCount();
    uint64_t feedAt = index.offsets[from];
    const uint64_t feedEnd = index.offsets[std::min(end + 1, frames)];
    std::vector<uint8_t> chunk(kFeedBytes);
    uint32_t next = from;  // the frame the decoder should hand out next
    while (next < end) {
        if (stop && stop->load(std::memory_order_relaxed))
            return Outcome::Stopped;
        off_t num = 0;
        unsigned char* audio = nullptr;
        size_t bytes = 0;
        const int code = mpg123_decode_frame(h, &num, &audio, &bytes);
        if (code == MPG123_NEW_FORMAT) {
            long rate = 0;
            int gotChannels = 0;
            int encoding = 0;
            if (mpg123_getformat(h, &rate, &gotChannels, &encoding) != MPG123_OK || rate != long(format.sampleRate) ||
                gotChannels != int(channels) || encoding != MPG123_ENC_SIGNED_16)
                return Outcome::NotVouched;
            continue;
        }
        if (code == MPG123_NEED_MORE) {
            if (feedAt == feedEnd)
                return Outcome::NotVouched;  // a frame the decoder would not give
            const size_t want = size_t(std::min<uint64_t>(chunk.size(), feedEnd - feedAt));
            ReadFully(fd, chunk.data(), want, feedAt);
            silence(chunk.data(), feedAt, want);
            if (mpg123_feed(h, chunk.data(), want) != MPG123_OK)
                return Outcome::NotVouched;
            feedAt += want;
            continue;
        }
        if (code != MPG123_OK || num != off_t(next - from) || bytes != frameBytes)
            return Outcome::NotVouched;
        if (next >= start && !take(next, audio))
            return Outcome::Failed;
        ++next;
    }
    return Outcome::Done;
}

class RangeDecoder {
public:
    RangeDecoder(int fd, const Mp3FrameIndex& index, const std::string& synthesis, std::atomic<bool>& stop)
        : fd_(fd), index_(index), synthesis_(synthesis), stop_(stop)
    {
    }

    // Runs on the range's own thread; afterFrame runs after every frame kept. A range that cannot
    // finish asks the others to stop: the sound will be decoded again, or not at all.
    void Decode(Range& range, const std::function<void(uint32_t framesDone)>& afterFrame)
    {
        SeparateFailureRecord record;
        if (!Guarded([&] {
                range.outcome = Run(range, afterFrame);
                return true;
            }))
            range.outcome = Outcome::Failed;
        if (range.outcome == Outcome::Failed)
            range.reason = record.Taken();
        if (range.outcome != Outcome::Done)
            stop_ = true;
    }

private:
    Outcome Run(Range& range, const std::function<void(uint32_t)>& afterFrame)
    {
        const uint32_t channels = index_.format.channelCount;
        const uint32_t spf = index_.format.samplesPerFrame;
        PcmSink& sink = *range.sink;
        const Outcome outcome =
            DecodeFrameRange(fd_, index_, synthesis_, range.from, range.start, range.end, &stop_,
                             [&](uint32_t frame, const uint8_t* audio) {
                                 // Raw samples [frame * spf, +spf); the sound keeps [keepBegin, keepEnd) of them.
                                 const uint64_t raw = uint64_t(frame) * spf;
                                 const uint64_t lo = std::max(raw, index_.keepBegin);
                                 const uint64_t hi = std::min(raw + spf, index_.keepEnd);
                                 if (lo < hi && !sink.Put(uint32_t(lo - index_.keepBegin),
                                                          audio + (lo - raw) * channels * 2, uint32_t(hi - lo)))
                                     return false;
                                 afterFrame(range.framesDone.fetch_add(1, std::memory_order_relaxed) + 1);
                                 return true;
                             });
        if (outcome != Outcome::Done)
            return outcome;
        return sink.Finish() ? Outcome::Done : Outcome::Failed;
    }

    int fd_;
    const Mp3FrameIndex& index_;
    const std::string& synthesis_;
    std::atomic<bool>& stop_;
};

}  // namespace

std::vector<uint32_t> SplitByBytes(const Mp3FrameIndex& index, unsigned count)
{
    std::vector<uint32_t> starts{0};
    const uint32_t frames = index.FrameCount();
    const uint64_t first = index.offsets.front();
    const uint64_t bytes = index.offsets.back() - first;
    for (unsigned r = 1; r < count; ++r) {
        const uint64_t target = first + bytes * r / count;
        const auto at = std::lower_bound(index.offsets.begin(), index.offsets.end() - 1, target);
        const uint32_t start = uint32_t(at - index.offsets.begin());
        if (start > starts.back() && start < frames)
            starts.push_back(start);
    }
    return starts;
}

std::vector<RangeSpan> PlanRanges(const Mp3FrameIndex& index, const std::vector<uint32_t>& starts)
{
    std::vector<RangeSpan> spans;
    for (uint32_t start : starts) {
        if (const std::optional<uint32_t> from = LeadInStart(index, start)) {
            if (!spans.empty())
                spans.back().end = start;
            spans.push_back({*from, start, index.FrameCount()});
        }
    }
    return spans;
}

RangeDecode DecodeRangesTo(int fd, const Mp3FrameIndex& index, const std::vector<RangeSpan>& spans,
                           const std::string& synthesis, const std::function<std::unique_ptr<PcmSink>()>& makeSink,
                           Progress* progress)
{
    if (spans.empty())
        return RangeDecode::NotVouched;
    const uint32_t frames = index.FrameCount();
    std::vector<Range> ranges(spans.size());
    for (size_t r = 0; r < spans.size(); ++r) {
        static_cast<RangeSpan&>(ranges[r]) = spans[r];
        ranges[r].sink = makeSink();
    }

    std::atomic<bool> stop{false};
    bool isCancelled = false;
    // On this thread only. The bar follows the first range, which runs here: its frames move it
    // the same steps on every run, however the threads are scheduled (a watcher may count them), and
    // the ranges are about equal. A cancel stops every range.
    const Range& first = ranges.front();
    auto report = [&](bool isMoving) {
        if (isCancelled)
            return;
        if (progress && isMoving) {
            const uint32_t done = first.framesDone.load(std::memory_order_relaxed);
            progress->SetPercent(float(double(done) * 100.0 / double(first.end - first.start)));
        }
        // Asked after the move, whose watcher may be the one that cancels.
        if (IsCancelled(progress)) {
            isCancelled = true;
            stop = true;
        }
    };

    RangeDecoder decoder(fd, index, synthesis, stop);
    WorkerCrew crew;  // after what its threads use: joined before that goes, on every path
    // The others wake this thread now and then to hear of a cancel once it has finished its own.
    const uint32_t nudgeEvery = std::max<uint32_t>(1, frames / 200);
    const int started = crew.Start(unsigned(ranges.size() - 1), [&](unsigned r) {
        decoder.Decode(ranges[r + 1], [&](uint32_t done) {
            if (done % nudgeEvery == 0)
                crew.Nudge();
        });
    });
    if (!started)
        stop = true;
    decoder.Decode(ranges[0], [&](uint32_t) { report(true); });
    crew.WaitTicking(std::chrono::milliseconds(25), [&] { report(false); });

    RangeDecode result = FoldRangeOutcomes<RangeDecode>(ranges, started);
    if (isCancelled)
        result = RangeDecode::Failed;  // the caller says it was cancelled
    return result;
}

RangeDecode DecodeRanges(int fd, const Mp3FrameIndex& index, const std::vector<uint32_t>& starts,
                         const std::string& synthesis, SoundBuffer& buffer, Progress* progress, unsigned* rangeCount)
{
    const uint64_t kept = index.keepEnd - index.keepBegin;
    const uint32_t channels = index.format.channelCount;
    const std::vector<RangeSpan> spans = PlanRanges(index, starts);
    *rangeCount = unsigned(spans.size());
    if (spans.size() < 2)
        return RangeDecode::NotVouched;
    buffer.Clear();
    if (!buffer.channels.Allocate(uint16_t(channels), uint32_t(kept), index.format.sampleRate))
        return RangeDecode::Failed;  // the stores noted why

    const RangeDecode result = DecodeRangesTo(
        fd, index, spans, synthesis, [&] { return std::make_unique<StoreWriter>(buffer, channels); }, progress);
    if (result != RangeDecode::Done) {
        buffer.Clear();
        return result;
    }
    buffer.format = WaveFormat::Pcm16(uint16_t(channels), index.format.sampleRate);
    buffer.frameCount = uint32_t(kept);
    buffer.dataByteCount = uint32_t(kept) * buffer.format.blockAlign;
    return RangeDecode::Done;
}

RangeDecode DecodeFrames(int fd, const Mp3FrameIndex& index, uint32_t from, uint32_t start, uint32_t end,
                         const std::function<bool(uint32_t frame, const int16_t* pcm)>& take)
{
    Outcome outcome = Outcome::Failed;
    if (!Guarded([&] {
            outcome = DecodeFrameRange(fd, index, std::string(), from, start, end, nullptr,
                                       [&](uint32_t frame, const uint8_t* audio) {
                                           int16_t pcm[2 * 1152];
                                           std::memcpy(pcm, audio, size_t(index.format.samplesPerFrame) *
                                                                       index.format.channelCount * 2);
                                           return take(frame, pcm);
                                       });
            return true;
        }))
        return RangeDecode::Failed;
    return outcome == Outcome::Done ? RangeDecode::Done
           : outcome == Outcome::Failed ? RangeDecode::Failed
                                        : RangeDecode::NotVouched;
}

}  // namespace brindle::detail

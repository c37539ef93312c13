#include "formats/mp3_range_encode.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <unistd.h>
#include <vector>

#include "formats/lame_adapter.h"
#include "formats/mp3_frames.h"
#include "formats/mp3_info_frame.h"
#include "formats/range_outcome.h"
#include "storage/file_io.h"
#include "storage/mapped_file_stream.h"
#include "storage/sound_buffer.h"
#include "storage/temp_files.h"
#include "storage/unique_fd.h"
#include "tasks/failure.h"
#include "tasks/progress.h"
#include "tasks/worker_crew.h"

namespace brindle::detail {
namespace {

using Outcome = RangeOutcome;

// The samples the encoder delays its input by; a range must start on a frame for its frames to be
// the whole-file encoder's frames.
constexpr uint32_t kEncoderDelay = 576;

struct Range {
    std::unique_ptr<LameStream> stream;
    uint32_t inputStart = 0;  // sound frames fed: [inputStart, inputEnd)
    uint32_t inputEnd = 0;
    uint32_t skipFrames = 0;  // audio frames of the lead-in, dropped
    uint32_t keepFrames = 0;  // the range's own audio frames
    bool keepsPlaceholder = false;  // the first range's placeholder for the info frame starts the file
    UniqueFd file;            // the kept frames of every range but the first, in order
    std::atomic<uint32_t> fed{0};  // sound frames encoded so far
    uint64_t bytes = 0;
    std::vector<uint16_t> kbps;  // per kept frame
    uint8_t lastModeExtension = 0;
    Outcome outcome = Outcome::Done;
    FailureReason reason;
};

// Cuts the encoder's output, which comes in pieces of any length, into whole frames.
class FrameSplitter {
public:
    // Calls onFrame(bytes, header) for every frame completed; false when the bytes are no frames.
    template <class OnFrame>
    bool Feed(const uint8_t* bytes, size_t count, OnFrame&& onFrame)
    {
        pending_.insert(pending_.end(), bytes, bytes + count);
        size_t at = 0;
        Layer3Header header;
        bool isValid = true;
        while (pending_.size() - at >= 4) {
            if (!ParseLayer3Header(&pending_[at], header)) {
                isValid = false;
                break;
            }
            if (pending_.size() - at < header.frameBytes)
                break;
            if (!onFrame(&pending_[at], header))
                isValid = false;
            at += header.frameBytes;
        }
        pending_.erase(pending_.begin(), pending_.begin() + ptrdiff_t(at));
        return isValid;
    }
    bool IsEmpty() const { return pending_.empty(); }

private:
    std::vector<uint8_t> pending_;
};

// Writes a range's frames into its own temporary file, a buffer at a time.
class FileSink {
public:
    explicit FileSink(int fd) : fd_(fd) { buffer_.reserve(kBytes); }
    bool Put(const uint8_t* bytes, size_t count)
    {
        if (buffer_.size() + count > kBytes && !Flush())
            return false;
        buffer_.insert(buffer_.end(), bytes, bytes + count);
        return true;
    }
    bool Flush()
    {
        if (!WriteFullyAt(fd_, buffer_.data(), buffer_.size(), int64_t(offset_))) {
            NoteSystemFailure();
            return false;
        }
        offset_ += buffer_.size();
        buffer_.clear();
        return true;
    }

private:
    static constexpr size_t kBytes = 256 * 1024;
    int fd_;
    uint64_t offset_ = 0;
    std::vector<uint8_t> buffer_;
};

class RangeEncoder {
public:
    RangeEncoder(LameAdapter& adapter, const SoundBuffer& buffer, uint32_t chunkSamples, uint32_t outputBytes,
                 std::atomic<bool>& stop)
        : adapter_(adapter), buffer_(buffer), chunkSamples_(chunkSamples), outputBytes_(outputBytes), stop_(stop)
    {
    }

    // On the range's thread. sink takes the kept frames (and the placeholder, not audio); afterChunk
    // runs after every chunk fed. A range that cannot finish asks the others to stop.
    using Sink = std::function<bool(const uint8_t* bytes, size_t size, bool isAudio)>;
    void Encode(Range& range, const Sink& sink,
                const std::function<void()>& afterChunk)
    {
        SeparateFailureRecord record;
        if (!Guarded([&] {
                range.outcome = Run(range, sink, afterChunk);
                return true;
            }))
            range.outcome = Outcome::Failed;
        if (range.outcome == Outcome::Failed)
            range.reason = record.Taken();
        if (range.outcome != Outcome::Done)
            stop_ = true;
    }

private:
    Outcome Run(Range& range, const Sink& sink,
                const std::function<void()>& afterChunk)
    {
        const uint32_t channels = buffer_.channels.ChannelCount();
        std::vector<int16_t> input(chunkSamples_);
        std::vector<uint8_t> encoded(outputBytes_);
        FrameSplitter splitter;
        uint32_t seen = 0;  // frames the encoder wrote, its info frame's placeholder first
        uint32_t kept = 0;
        bool isVouched = true;
        auto onFrame = [&](const uint8_t* frame, const Layer3Header& header) {
            const uint32_t index = seen++;
            if (index == 0)
                return !range.keepsPlaceholder || sink(frame, header.frameBytes, false);
            if (index - 1 < range.skipFrames || index - 1 >= range.skipFrames + range.keepFrames)
                return true;
            // Without the reservoir no frame's main data reaches into the one before it.
            if (MainDataBegin(header, frame) != 0) {
                isVouched = false;
                return false;
            }
            if (!sink(frame, header.frameBytes, true))
                return false;
            range.bytes += header.frameBytes;
            range.kbps.push_back(uint16_t(header.bitrateKbps));
            range.lastModeExtension = (frame[3] >> 4) & 3;
            ++kept;
            return true;
        };
        auto take = [&](uint32_t written) {
            return written <= outputBytes_ && splitter.Feed(encoded.data(), written, onFrame);
        };

        for (uint32_t frame = range.inputStart; frame < range.inputEnd;) {
            if (stop_.load(std::memory_order_relaxed))
                return Outcome::Stopped;
            const uint32_t count = std::min(chunkSamples_ / channels, range.inputEnd - frame);
            if (buffer_.channels.ReadInterleaved16(input.data(), count * channels, frame) != count * channels)
                ThrowFormat("cannot read the sound to encode");
            uint32_t written = 0;
            if (adapter_.beEncodeChunk(range.stream.get(), count * channels, input.data(), encoded.data(), &written) !=
                BE_ERR_SUCCESSFUL)
                ThrowFormat("the MP3 encoder failed");
            if (!take(written))
                return isVouched ? Outcome::Failed : Outcome::NotVouched;
            frame += count;
            range.fed.store(frame - range.inputStart, std::memory_order_relaxed);
            afterChunk();
        }
        uint32_t written = 0;
        if (adapter_.beDeinitStream(range.stream.get(), encoded.data(), &written) != BE_ERR_SUCCESSFUL)
            ThrowFormat("the MP3 encoder failed");
        if (!take(written))
            return isVouched ? Outcome::Failed : Outcome::NotVouched;
        // Every frame of the range, and nothing cut in the middle of one.
        return splitter.IsEmpty() && kept == range.keepFrames ? Outcome::Done : Outcome::NotVouched;
    }

    LameAdapter& adapter_;
    const SoundBuffer& buffer_;
    const uint32_t chunkSamples_;
    const uint32_t outputBytes_;
    std::atomic<bool>& stop_;
};

}  // namespace

RangeEncode EncodeRanges(LameAdapter& adapter, const BE_CONFIG& config, SoundBuffer& buffer, unsigned count,
                         MappedFileStream& output, std::unique_ptr<LameStream>* infoStream, Progress* progress,
                         unsigned* rangeCount)
{
    *rangeCount = 1;
    const uint32_t frames = buffer.frameCount;
    const uint32_t channels = buffer.channels.ChannelCount();

    // The encoders are started here, one after another: starting one fills tables the library
    // shares. Their settings are the same, so one stands for all.
    std::vector<std::unique_ptr<LameStream>> streams(count);
    uint32_t chunkSamples = 0;
    uint32_t outputBytes = 0;
    for (auto& stream : streams) {
        if (adapter.beInitStream(&config, &chunkSamples, &outputBytes, &stream) != BE_ERR_SUCCESSFUL || !stream)
            return RangeEncode::NotVouched;
    }
    const uint32_t frameLength = chunkSamples / channels;
    if (chunkSamples == 0 || chunkSamples % channels != 0 || (frameLength != 1152 && frameLength != 576) ||
        adapter.EncoderDelay(streams[0].get()) != int(kEncoderDelay) ||
        adapter.OutputSampleRate(streams[0].get()) != buffer.format.samplesPerSecond)
        return RangeEncode::NotVouched;

    // The encoder pads the end to whole frames, with at least kEncoderDelay samples past the sound.
    uint32_t padding = frameLength - (frames + kEncoderDelay) % frameLength;
    if (padding < kEncoderDelay)
        padding += frameLength;
    const uint32_t audioFrames = uint32_t((uint64_t(frames) + kEncoderDelay + padding) / frameLength);
    if (audioFrames < 2 * count)
        return RangeEncode::NotVouched;

    std::vector<Range> ranges(count);
    for (unsigned r = 0; r < count; ++r) {
        Range& range = ranges[r];
        const uint32_t first = uint32_t(uint64_t(audioFrames) * r / count);
        const uint32_t next = uint32_t(uint64_t(audioFrames) * (r + 1) / count);
        range.stream = std::move(streams[r]);
        range.skipFrames = std::min(first, kLeadInFrames);
        range.keepFrames = next - first;
        range.inputStart = (first - range.skipFrames) * frameLength;
        range.inputEnd = r + 1 == count ? frames : uint32_t(std::min<uint64_t>(frames, uint64_t(next + 1) * frameLength));
        range.keepsPlaceholder = r == 0;
        if (r > 0) {
            range.file = CreateUnnamedTempFile();
            if (!range.file.IsValid())
                return RangeEncode::Failed;
        }
    }

    std::atomic<bool> stop{false};
    bool isCancelled = false;
    // On this thread only. The bar follows the first range, which runs here: its chunks move it the
    // same steps on every run, and the ranges are about equal. A cancel stops every range.
    const Range& first = ranges.front();
    auto report = [&](bool isMoving) {
        if (isCancelled)
            return;
        if (progress && isMoving) {
            const double fed = first.fed.load(std::memory_order_relaxed);
            progress->SetPercent(float(fed * 100.0 / double(first.inputEnd - first.inputStart)));
        }
        // Asked after the move, whose watcher may be the one that cancels.
        if (IsCancelled(progress)) {
            isCancelled = true;
            stop = true;
        }
    };

    uint16_t musicCrc = 0;
    RangeEncoder encoder(adapter, buffer, chunkSamples, outputBytes, stop);
    WorkerCrew crew;  // after what its threads use: joined before that goes, on every path
    const int started = crew.Start(count - 1, [&](unsigned r) {
        Range& range = ranges[r + 1];
        FileSink file(range.file.Get());
        uint32_t chunks = 0;
        encoder.Encode(
            range, [&](const uint8_t* bytes, size_t size, bool) { return file.Put(bytes, size); },
            [&] {
                if (++chunks % 32 == 0)
                    crew.Nudge();
            });
        if (range.outcome == Outcome::Done && !file.Flush()) {
            range.outcome = Outcome::Failed;
            range.reason = LastFailure();
            stop = true;
        }
    });
    if (!started)
        stop = true;
    encoder.Encode(
        ranges[0],
        [&](const uint8_t* bytes, size_t size, bool isAudio) {
            if (isAudio)
                musicCrc = Crc16Arc(musicCrc, bytes, size);
            errno = 0;
            if (output.Write(bytes, 1, uint32_t(size)) == size)
                return true;
            if (errno != 0)
                NoteSystemFailure();
            return false;
        },
        [&] { report(true); });
    crew.WaitTicking(std::chrono::milliseconds(25), [&] { report(false); });

    const RangeEncode result = FoldRangeOutcomes<RangeEncode>(ranges, started);
    if (isCancelled)
        return RangeEncode::Failed;  // the caller says it was cancelled
    if (result != RangeEncode::Done)
        return result;

    // The other ranges' frames follow the first's, and the music CRC runs on over them.
    InfoFrameTotals totals;
    totals.padding = padding;
    std::vector<uint8_t> chunk(256 * 1024);
    for (Range& range : ranges) {
        for (uint16_t kbps : range.kbps)
            totals.toc.Add(kbps);
        totals.audioBytes += range.bytes;
        totals.lastModeExtension = range.lastModeExtension;
        if (!range.file.IsValid())
            continue;
        for (uint64_t at = 0; at < range.bytes;) {
            if (IsCancelled(progress))
                return RangeEncode::Failed;
            const size_t want = size_t(std::min<uint64_t>(chunk.size(), range.bytes - at));
            const ssize_t got = ::pread(range.file.Get(), chunk.data(), want, off_t(at));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                NoteSystemFailure(got < 0 ? errno : EIO);
                return RangeEncode::Failed;
            }
            musicCrc = Crc16Arc(musicCrc, chunk.data(), size_t(got));
            errno = 0;
            if (output.Write(chunk.data(), 1, uint32_t(got)) != uint32_t(got)) {
                if (errno != 0)
                    NoteSystemFailure();
                return RangeEncode::Failed;
            }
            at += uint64_t(got);
        }
        range.file.Reset();
    }
    totals.musicCrc = musicCrc;
    if (totals.toc.FrameCount() != audioFrames)
        return RangeEncode::NotVouched;

    std::vector<uint8_t> info = adapter.InfoFrame(ranges[0].stream.get());
    if (!RewriteInfoFrame(info, totals))
        return RangeEncode::NotVouched;
    adapter.SetInfoFrame(ranges[0].stream.get(), std::move(info));
    *infoStream = std::move(ranges[0].stream);
    *rangeCount = count;
    return RangeEncode::Done;
}

}  // namespace brindle::detail

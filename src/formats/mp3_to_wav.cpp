#include "formats/mp3_to_wav.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include "formats/check.h"
#include "formats/mp3_decoder.h"
#include "formats/mp3_frames.h"
#include "formats/mp3_range_decode.h"
#include "formats/wav_file.h"
#include "storage/file_io.h"
#include "storage/replacing_file.h"
#include "storage/unique_fd.h"
#include "storage/wave_format.h"
#include "tasks/failure.h"
#include "tasks/progress.h"
#include "tasks/worker_crew.h"

namespace brindle {
namespace {

// One range's samples on their way into the WAV file, gathered into runs so that a range makes a
// few thousand writes rather than one a frame (an hour of stereo is 140,000 frames). A run is small
// enough to still be in the core's cache when the write copies it: runs of 1 MiB cost an hour of
// stereo three times the system time (0.9 s against 0.3 s) of runs of 256 KiB. Each range writes
// only its own bytes of the file, so the ranges need no lock between them.
class WavRangeWriter final : public detail::PcmSink {
public:
    WavRangeWriter(int fd, uint64_t dataOffset, uint32_t blockAlign, std::atomic<bool>& hasWriteFault)
        : fd_(fd), dataOffset_(dataOffset), blockAlign_(blockAlign), hasWriteFault_(hasWriteFault)
    {
        pending_.reserve(kRunBytes + size_t(kMaxFrameSamples) * blockAlign);
    }

    bool Put(uint32_t frameIndex, const uint8_t* pcm, uint32_t frameCount) override
    {
        if (!pending_.empty() && frameIndex != runStart_ + pendingFrames_ && !Flush())
            return false;
        if (pending_.empty())
            runStart_ = frameIndex;
        const size_t had = pending_.size();
        pending_.insert(pending_.end(), pcm, pcm + size_t(frameCount) * blockAlign_);
        // The decoder gives the host's byte order; a WAV file holds little-endian samples.
        if constexpr (std::endian::native == std::endian::big) {
            for (size_t i = had; i + 1 < pending_.size(); i += 2)
                std::swap(pending_[i], pending_[i + 1]);
        }
        pendingFrames_ += frameCount;
        return pending_.size() < kRunBytes || Flush();
    }

    bool Finish() override { return Flush(); }

private:
    bool Flush()
    {
        if (pending_.empty())
            return true;
        if (!WriteFullyAt(fd_, pending_.data(), pending_.size(),
                          int64_t(dataOffset_ + uint64_t(runStart_) * blockAlign_))) {
            NoteSystemFailure();
            hasWriteFault_ = true;
            return false;
        }
        pending_.clear();
        pendingFrames_ = 0;
        return true;
    }

    static constexpr size_t kRunBytes = size_t(256) << 10;
    static constexpr uint32_t kMaxFrameSamples = 1152;  // the most one decoded frame hands over
    int fd_;
    uint64_t dataOffset_;
    uint32_t blockAlign_;
    std::atomic<bool>& hasWriteFault_;
    std::vector<uint8_t> pending_;
    uint32_t runStart_ = 0;
    uint32_t pendingFrames_ = 0;
};

}  // namespace

Mp3ToWav ConvertMp3ToWav(int sourceFd, const Mp3FrameIndex& index, const std::filesystem::path& target,
                         Progress* progress, unsigned rangeCount)
{
    if (!index.IsSplittable() || !Mp3Decoder::IsLibraryReady())
        return Mp3ToWav::NotPossible;
    const uint64_t kept = index.keepEnd - index.keepBegin;
    const uint32_t channels = index.format.channelCount;
    const WaveFormat format = WaveFormat::Pcm16(uint16_t(channels), index.format.sampleRate);
    const uint64_t dataBytes = kept * format.blockAlign;
    // What the load cannot hold or the save refuses, they refuse in their own words.
    if (kept == 0 || kept > std::numeric_limits<uint32_t>::max() || !FitsWavSizes(format, dataBytes))
        return Mp3ToWav::NotPossible;
    const std::vector<uint8_t> header = WavHeaderBytes(format, uint32_t(dataBytes));

    if (rangeCount == 0) {
        const double seconds = double(kept) / index.format.sampleRate;
        const unsigned byLength = unsigned(std::max(1.0, seconds / Mp3Decoder::kMinRangeSeconds));
        rangeCount = std::min(UsableCores(), byLength);
    }
    const std::vector<detail::RangeSpan> spans = detail::PlanRanges(index, detail::SplitByBytes(index, rangeCount));

    std::atomic<bool> hasWriteFault{false};
    bool hasSourceFault = false;
    bool isPossible = true;
    const int result = Guarded([&] {
        detail::CheckNotCancelled(progress);
        ReplacingFile file;
        file.Open(target);
        // The unnamed file is reached through its /proc name; this descriptor writes at offsets only.
        const UniqueFd out(::open(file.Path().c_str(), O_WRONLY | O_CLOEXEC));
        if (!out.IsValid())
            ThrowSystem();
        const auto makeWriter = [&] {
            return std::make_unique<WavRangeWriter>(out.Get(), header.size(), format.blockAlign, hasWriteFault);
        };
        switch (detail::DecodeRangesTo(sourceFd, index, spans, {}, makeWriter, progress)) {
        case detail::RangeDecode::Done: break;
        case detail::RangeDecode::NotVouched: isPossible = false; return false;
        case detail::RangeDecode::Failed:
            detail::CheckNotCancelled(progress);
            // A range fails on a write of its own or on a read of the MP3.
            hasSourceFault = !hasWriteFault;
            detail::Throw();
        }
        if (!WriteFullyAt(out.Get(), header.data(), header.size(), 0))
            ThrowSystem();
        // Done means every range put all its frames; the size is asked all the same, as the last
        // guard before the target is replaced.
        struct stat st {};
        if (::fstat(out.Get(), &st) != 0)
            ThrowSystem();
        detail::Check(uint64_t(st.st_size) == header.size() + dataBytes, "internal error: the WAV file came out short");
        detail::CheckNotCancelled(progress);
        file.Commit();
        return true;
    });
    if (!isPossible)
        return Mp3ToWav::NotPossible;
    FinishProgress(progress, result);
    if (result)
        return Mp3ToWav::Written;
    if (hasSourceFault)
        return Mp3ToWav::SourceFailed;
    return Mp3ToWav::TargetFailed;
}

}  // namespace brindle

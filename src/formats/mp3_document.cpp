#include "formats/mp3_document.h"

#include <algorithm>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "formats/mp3_decoder.h"
#include "formats/mp3_encoder.h"
#include "formats/mp3_frames.h"
#include "formats/mp3_lossless.h"
#include "storage/source_file.h"
#include "storage/unique_fd.h"
#include "tasks/failure.h"
#include "storage/temp_files.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

// A stage's share of the caller's progress, or none when nobody watches.
class Stage {
public:
    Stage(Progress* parent, uint32_t span)
    {
        if (parent)
            part_.emplace(*parent, span);
    }
    Progress* Get() { return part_ ? &*part_ : nullptr; }

private:
    std::optional<SubProgress> part_;
};

}  // namespace

// The MP3 the sound was decoded from, kept open (a save over it renames a new file into its place, and
// this one still reads the old), its frames, and the stores its decode went into.
struct Mp3Document::Source {
    std::shared_ptr<const SourceFile> file;
    Mp3FrameIndex index;
    std::vector<std::weak_ptr<const SampleStore>> stores;

    // The ranges of the decode that sound is made of, when it is nothing but cuts of it.
    std::optional<std::vector<KeptRange>> KeptRanges(const SoundBuffer& sound) const
    {
        std::vector<std::shared_ptr<const SampleStore>> held;
        std::vector<const SampleStore*> pointers;
        for (const auto& store : stores) {
            held.push_back(store.lock());
            pointers.push_back(held.back().get());
        }
        return KeptSourceRanges(sound, pointers);
    }
};

void Mp3Document::Reset()
{
    buffer.Clear();
    source_.reset();
    noSourceWhy_ = kNotAnMp3;
}

void Mp3Document::KeepSource(std::shared_ptr<const SourceFile> file, std::optional<Mp3FrameIndex> index)
{
    auto source = std::make_shared<Source>();
    source->file = std::move(file);
    // The decode made the index where it split the file; one core's decode did not.
    if (index) {
        source->index = std::move(*index);
    } else if (!IndexMp3Frames(source->file->Fd(), source->file->Size(), nullptr, source->index)) {
        noSourceWhy_ = "the MP3 file could not be read again for its frames";
        return;
    }
    // A save that cannot copy tells why, and this is the only moment that knows.
    if (!source->index.IsSplittable()) {
        noSourceWhy_ = "the MP3's frames cannot be copied: " +
                       (source->index.notSplittable.empty() ? std::string("no frames") : source->index.notSplittable);
        return;
    }
    if (source->index.keepEnd - source->index.keepBegin != buffer.frameCount) {
        noSourceWhy_ = "the MP3's frames do not decode to the sound opened";
        return;
    }
    for (uint16_t c = 0; c < buffer.channels.ChannelCount(); ++c) {
        const ChannelStore& channel = buffer.channels.Channel(c);
        if (channel.PieceCount() != 1) {
            noSourceWhy_ = "the sound opened is not one piece of its MP3";
            return;
        }
        uint32_t pieceStart = 0;
        source->stores.push_back(channel.PieceAt(0, pieceStart).store);
    }
    source_ = std::move(source);
}

std::optional<Mp3Document::FrameGrid> Mp3Document::LosslessGrid(const SoundBuffer& sound) const
{
    if (!source_)
        return std::nullopt;
    const auto kept = source_->KeptRanges(sound);
    if (!kept)
        return std::nullopt;
    // The longest range sets the grid; cuts made on it keep every other range on it too.
    uint64_t at = 0, bestAt = 0, bestLength = 0, bestStart = 0;
    for (const KeptRange& range : *kept) {
        if (range.end - range.start > bestLength) {
            bestLength = range.end - range.start;
            bestAt = at;
            bestStart = range.start;
        }
        at += range.end - range.start;
    }
    const uint64_t step = kLosslessGridSamples;
    const uint64_t phase = (kLosslessGridPhase + 4 * step + bestAt - (bestStart + source_->index.keepBegin) % step) % step;
    return FrameGrid{uint32_t(step), uint32_t(phase)};
}

Mp3Document::Lossless Mp3Document::SaveLossless(const std::filesystem::path& path, Progress* progress,
                                                LosslessExtent& extent)
{
    LameAdapter* adapter = Mp3Encoder::Instance().Adapter();
    const auto kept = source_->KeptRanges(buffer);
    if (!kept) {
        losslessWhyNot_ = "the sound was changed by more than cuts";
        return Lossless::NotPossible;
    }
    if (!source_->file->IsUnchangedButForItsName()) {
        losslessWhyNot_ = "the MP3 file changed since it was opened";
        return Lossless::NotPossible;
    }
    if (!adapter) {
        losslessWhyNot_ = "no encoder library for the seams";
        return Lossless::NotPossible;
    }
    LosslessWrite written = LosslessWrite::Failed;
    {
        // Read back too: the copy checks what it wrote before it may replace anything.
        UniqueFd out(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (!out.IsValid()) {
            NoteSystemFailure();
            return Lossless::Failed;
        }
        written = WriteLosslessMp3(source_->file->Fd(), source_->index, *kept, buffer, *adapter, out.Get(), progress,
                                   &losslessWhyNot_, &extent);
    }
    // A file that cannot be read or written fails the save as it would fail the encoding; what the
    // copy alone stumbled on (the encoder's output for a seam) leaves the encoding to do it.
    if (written == LosslessWrite::Failed && (IsCancelled(progress) || LastFailure().kind != FailureKind::Format))
        return Lossless::Failed;
    if (written == LosslessWrite::Failed) {
        losslessWhyNot_ = LastFailure().text;
        return Lossless::NotPossible;
    }
    if (written == LosslessWrite::NotPossible)
        return Lossless::NotPossible;
    return Lossless::Written;
}

int Mp3Document::LoadMp3(const std::filesystem::path& path, Progress* progress)
{
    auto source = std::make_shared<SourceFile>();
    if (!source->Open(path))
        return FinishProgress(progress, 0);
    return LoadMp3(std::move(source), progress);
}

int Mp3Document::LoadMp3(std::shared_ptr<const SourceFile> source, Progress* progress)
{
    if (!source || !source->IsOpen())
        return FinishProgress(progress, 0);
    tags.ReadTags(*source, progress);
    if (IsCancelled(progress))
        return FinishProgress(progress, 0);

    // Decoding into the stores is the decoding and the import in one pass: it moves the bar through
    // both halves.
    const uint32_t range = progress ? progress->Range() : 0;
    int result = 0;
    std::optional<Mp3FrameIndex> index;
    {
        Mp3Decoder decoder;
        Stage decodePart(progress, range);
        result = decoder.DecodeInto(buffer, *source, decodePart.Get());
        index = decoder.TakeFrameIndex();
    }
    if (result && IsCancelled(progress))
        result = 0;
    source_.reset();
    if (!result)
        buffer.Clear();
    else
        KeepSource(std::move(source), std::move(index));
    return FinishProgress(progress, result);
}

int Mp3Document::SaveMp3(const std::filesystem::path& path, Progress* progress)
{
    lastSaveLossless_ = false;
    reencodedPercent_ = 100;
    losslessWhyNot_ = source_ ? std::string() : noSourceWhy_;
    LosslessExtent extent;
    int result = 0;
    switch (source_ ? SaveLossless(path, progress, extent) : Lossless::NotPossible) {
    case Lossless::Written:
        lastSaveLossless_ = true;
        // Rounded up: a file of which anything beyond the seams was encoded anew never reads as 0 %.
        reencodedPercent_ = buffer.frameCount == 0 ? 0
                                                   : uint32_t(std::min<uint64_t>(
                                                         100, (extent.encodedFrames * 100 + buffer.frameCount - 1) /
                                                                  buffer.frameCount));
        losslessWhyNot_ = extent.why;
        result = 1;
        break;
    case Lossless::Failed:
        return FinishProgress(progress, 0);
    case Lossless::NotPossible:
        if (IsCancelled(progress))
            return FinishProgress(progress, 0);
        ClearLastFailure();
        result = EncodeToMp3(path, buffer, progress);
        break;
    }
    // A file whose tags could not be written is not the file the user saved: the save fails.
    if (result && tags.HasAnythingToWrite()) {
        const uint64_t rate = buffer.format.samplesPerSecond;
        const std::optional<uint64_t> lengthMs =
            rate == 0 ? std::nullopt : std::optional<uint64_t>((uint64_t(buffer.frameCount) * 1000 + rate / 2) / rate);
        result = tags.WriteTags(path, progress, lengthMs);
    }
    return FinishProgress(progress, result);
}

}  // namespace brindle

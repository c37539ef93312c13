#include "formats/mp3_decoder.h"

#include <mpg123.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "formats/check.h"
#include "formats/mp3_frames.h"
#include "formats/mp3_range_decode.h"
#include "storage/block_file.h"
#include "storage/file_handle.h"
#include "storage/mapped_file_stream.h"
#include "storage/sample_conversion.h"
#include "storage/sound_buffer.h"
#include "storage/wave_format.h"
#include "tasks/progress.h"
#include "tasks/worker_crew.h"
#include "tasks/yield_pacer.h"

namespace brindle {
namespace {

using detail::Check;
using detail::CheckNotCancelled;
using detail::Throw;

constexpr const char* kNotMp3 = "not an MP3 file (no MPEG audio frames)";

// The library is initialised once per process, on the first open, and released at process exit.
// A failed initialisation is remembered and never retried.
class DecoderLibrary {
public:
    static bool IsReady()
    {
        static DecoderLibrary library;
        return library.isReady_;
    }

private:
    DecoderLibrary() : isReady_(mpg123_init() == MPG123_OK) {}
    ~DecoderLibrary()
    {
        if (isReady_)
            mpg123_exit();
    }

    bool isReady_;
};

}  // namespace

struct Mp3Decoder::Input {
    MappedFileStream stream;
    Progress* progress = nullptr;
};

// The library's reads all come here, so this is where a cancel reaches the scan of a whole file
// (mpg123_scan), which otherwise runs to the end of the file without returning: an error makes
// the library give up at once.
ssize_t Mp3Decoder::ReadFromInput(void* input, void* buffer, size_t count)
{
    auto* source = static_cast<Input*>(input);
    if (IsCancelled(source->progress))
        return -1;
    const uint32_t wanted = uint32_t(std::min<size_t>(count, std::numeric_limits<uint32_t>::max()));
    if (wanted == 0)
        return 0;
    const uint32_t got = source->stream.Read(buffer, 1, wanted);
    // A file that shrank or could not be read is an error, not an early end of the stream.
    return source->stream.HasReadFault() ? -1 : ssize_t(got);
}

off_t Mp3Decoder::SeekInInput(void* input, off_t offset, int whence)
{
    MappedFileStream& stream = static_cast<Input*>(input)->stream;
    const SeekOrigin origin = whence == SEEK_SET ? SeekOrigin::Begin
                              : whence == SEEK_CUR ? SeekOrigin::Current
                                                   : SeekOrigin::End;
    return stream.Seek(offset, origin) ? off_t(stream.Position()) : off_t(-1);
}

bool Mp3Decoder::IsLibraryReady() { return DecoderLibrary::IsReady(); }

Mp3Decoder::Mp3Decoder() = default;

Mp3Decoder::~Mp3Decoder() { Close(); }

void Mp3Decoder::Close()
{
    handle_.reset();  // before the stream it reads from
    input_.reset();
}

void Mp3Decoder::HandleCloser::operator()(mpg123_handle_struct* handle) const
{
    mpg123_close(handle);
    mpg123_delete(handle);
}

int Mp3Decoder::Open(const std::filesystem::path& mp3Path)
{
    // The stream reads a descriptor of its own: this one may close when the open is done.
    SourceFile source;
    if (!source.Open(mp3Path)) {
        Close();
        return 0;
    }
    return Open(source, nullptr);
}

int Mp3Decoder::Open(const SourceFile& source) { return Open(source, nullptr); }

int Mp3Decoder::Open(const SourceFile& source, Progress* progress)
{
    if (!DecoderLibrary::IsReady()) {
        NoteFailure({FailureKind::System, "the MP3 decoder library did not start"});
        return 0;
    }
    Close();
    // Made before the handle, so that on a failure below the handle is released before its stream.
    auto input = std::make_unique<Input>();
    input->progress = progress;
    int error = MPG123_OK;
    std::unique_ptr<mpg123_handle_struct, HandleCloser> handle(
        mpg123_new(synthesis_.empty() ? nullptr : synthesis_.c_str(), &error));
    if (!handle) {
        NoteFailure({FailureKind::System,
                     std::string("the MP3 decoder did not start: ") + mpg123_plain_strerror(error)});
        return 0;
    }
    // The library's own notes about junk and resyncs would land on the editor's stderr; the decode
    // result already says everything the program acts on.
    mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
    if (!input->stream.OpenForReading(source))
        return 0;
    if (mpg123_replace_reader_handle(handle.get(), &ReadFromInput, &SeekInInput, nullptr) != MPG123_OK ||
        mpg123_open_handle(handle.get(), input.get()) != MPG123_OK) {
        // A cancel makes the reader fail; the caller says so itself.
        if (!IsCancelled(progress))
            NoteFailure({FailureKind::System,
                         std::string("the MP3 decoder did not start: ") + mpg123_strerror(handle.get())});
        return 0;
    }
    input_ = std::move(input);
    handle_ = std::move(handle);
    return 1;
}

namespace {

// The sound's own sample stores, filled as the frames arrive: Begin once the length is known, Write
// with the library's bytes (interleaved signed 16-bit, little-endian), End after the last.
class StoreOutput {
public:
    explicit StoreOutput(SoundBuffer& buffer) : buffer_(buffer) {}
    void Begin(const WaveFormat& format, uint32_t frames, uint32_t dataBytes)
    {
        buffer_.Clear();
        Check(buffer_.channels.Allocate(format.channelCount, frames, format.samplesPerSecond));
        format_ = format;
        frames_ = frames;
        dataBytes_ = dataBytes;
        frameBytes_ = format.blockAlign;
    }
    void Write(const uint8_t* bytes, size_t count)
    {
        // The library hands over whole frames; a split one would wait here for its other half.
        while (count > 0) {
            if (!pending_.empty() || count < frameBytes_) {
                const size_t take = std::min(count, frameBytes_ - pending_.size());
                pending_.insert(pending_.end(), bytes, bytes + take);
                bytes += take;
                count -= take;
                if (pending_.size() == frameBytes_) {
                    Store(pending_.data(), 1);
                    pending_.clear();
                }
                continue;
            }
            const size_t whole = count / frameBytes_;
            Store(bytes, whole);
            bytes += whole * frameBytes_;
            count -= whole * frameBytes_;
        }
    }
    void End()
    {
        Check(position_ == frames_ && pending_.empty(), "damaged MPEG audio (it decodes to another length than its scan)");
        buffer_.format = format_;
        buffer_.frameCount = frames_;
        buffer_.dataByteCount = dataBytes_;
    }

private:
    void Store(const uint8_t* frames, size_t count)
    {
        Check(position_ + count <= frames_, "damaged MPEG audio (it decodes to another length than its scan)");
        const uint16_t channels = format_.channelCount;
        while (count > 0) {
            // A store takes at most the rest of the block a run starts in.
            const uint32_t run = uint32_t(std::min<size_t>(count, kBlockSamples - position_ % kBlockSamples));
            samples_.resize(run);
            for (uint16_t c = 0; c < channels; ++c) {
                ConvertS16LeToFloat(frames + 2 * c, channels, samples_.data(), run);
                Check(buffer_.channels.Channel(c).WriteSamples(position_, samples_.data(), run));
            }
            frames += size_t(run) * frameBytes_;
            position_ += run;
            count -= run;
        }
    }

    SoundBuffer& buffer_;
    WaveFormat format_;
    uint32_t frames_ = 0;
    uint32_t dataBytes_ = 0;
    size_t frameBytes_ = 0;
    uint32_t position_ = 0;
    std::vector<uint8_t> pending_;
    std::vector<float> samples_;
};

}  // namespace

int Mp3Decoder::DecodeInto(SoundBuffer& buffer, const std::filesystem::path& mp3Path, Progress* progress)
{
    SourceFile source;
    if (!source.Open(mp3Path)) {
        buffer.Clear();
        return FinishProgress(progress, 0);
    }
    return DecodeInto(buffer, source, progress);
}

int Mp3Decoder::DecodeInto(SoundBuffer& buffer, const SourceFile& source, Progress* progress)
{
    index_.reset();
    const int result = Guarded([&] {
        DecodeOrThrow(buffer, source, progress);
        return true;
    });
    Close();
    if (!result)
        buffer.Clear();
    return FinishProgress(progress, result);
}

void Mp3Decoder::DecodeOrThrow(SoundBuffer& buffer, const SourceFile& source, Progress* progress)
{
    Check(source.IsOpen(), "no file");
    CheckNotCancelled(progress);
    rangesUsed_ = 1;
    const unsigned cores = rangeCount_ == 0 && rangeStarts_.empty() ? UsableCores() : 0;
    if (rangeCount_ == 1 || cores == 1 || !DecoderLibrary::IsReady()) {
        DecodeWholeOrThrow(buffer, source, progress);
        return;
    }

    // The index reads with pread: it shares the door's descriptor. A file too large for the index is
    // left to the whole-file decode, which fails on it the same way.
    const uint64_t size = source.Size();
    const bool isReadable = size > 0 && size <= std::numeric_limits<uint32_t>::max();
    Mp3FrameIndex index;
    {
        std::optional<SubProgress> walkPart;
        if (progress)
            walkPart.emplace(*progress, progress->Range() / 50);
        if (isReadable && !IndexMp3Frames(source.Fd(), size, walkPart ? &*walkPart : nullptr, index)) {
            CheckNotCancelled(progress);
            Throw();
        }
    }
    std::optional<SubProgress> rest;
    if (progress)
        rest.emplace(*progress, progress->Range() - progress->Position());
    Progress* const restProgress = rest ? &*rest : nullptr;

    if (isReadable && index.IsSplittable()) {
        std::vector<uint32_t> starts = rangeStarts_;
        if (starts.empty()) {
            const double seconds = double(index.keepEnd - index.keepBegin) / index.format.sampleRate;
            const unsigned byLength = unsigned(std::max(1.0, seconds / kMinRangeSeconds));
            starts = detail::SplitByBytes(index, rangeCount_ != 0 ? rangeCount_ : std::min(cores, byLength));
        }
        const bool isValidSplit = !starts.empty() && starts.front() == 0 &&
                                  std::is_sorted(starts.begin(), starts.end(), std::less_equal<uint32_t>()) &&
                                  starts.back() < index.FrameCount();
        if (starts.size() > 1 && isValidSplit) {
            unsigned ranges = 0;
            switch (detail::DecodeRanges(source.Fd(), index, starts, synthesis_, buffer, restProgress, &ranges)) {
            case detail::RangeDecode::Done:
                rangesUsed_ = ranges;
                index_ = std::move(index);
                return;
            case detail::RangeDecode::Failed:
                CheckNotCancelled(progress);
                Throw();
            case detail::RangeDecode::NotVouched:
                break;
            }
        }
    }
    DecodeWholeOrThrow(buffer, source, restProgress);
    if (isReadable)
        index_ = std::move(index);
}

void Mp3Decoder::DecodeWholeOrThrow(SoundBuffer& buffer, const SourceFile& source, Progress* progress)
{
    // Here and below a cancel can surface as a library error (the reader refuses to go on), so it
    // is asked first; a reason noted by the stream ("the file shrank while it was read") wins over
    // the format reasons given after it.
    if (!Open(source, progress)) {
        CheckNotCancelled(progress);
        Throw();
    }
    mpg123_handle* handle = handle_.get();
    Check(input_->stream.Size() != 0, "empty file");

    long rate = 0;
    int channelCount = 0;
    int encoding = 0;
    if (mpg123_getformat(handle, &rate, &channelCount, &encoding) != MPG123_OK) {
        CheckNotCancelled(progress);
        ThrowFormat(kNotMp3);
    }
    Check(encoding == MPG123_ENC_SIGNED_16, "the MP3 decoder does not give 16-bit samples");
    Check(rate > 0 && (channelCount == 1 || channelCount == 2), "unsupported MPEG audio format");
    // Lock the output to what the stream reported, so a later change cannot slip into the sound.
    Check(mpg123_format_none(handle) == MPG123_OK && mpg123_format(handle, rate, channelCount, encoding) == MPG123_OK,
          "the MP3 decoder refused its own output format");

    // Without a full scan the length of a file lacking a Xing/LAME header is only an estimate.
    if (mpg123_scan(handle) != MPG123_OK) {
        CheckNotCancelled(progress);
        ThrowFormat("damaged MP3 file (its length cannot be scanned)");
    }
    CheckNotCancelled(progress);
    const off_t scanned = mpg123_length(handle);
    Check(scanned >= 1, kNotMp3);
    const uint32_t frameBytes = uint32_t(channelCount) * 2;
    // The header's sizes are 32-bit: a sound that does not fit cannot be written as WAV.
    Check(uint64_t(scanned) * frameBytes <= std::numeric_limits<uint32_t>::max() - 36u,
          "too long to decode (over 4 GiB of samples)");
    const uint32_t frames = uint32_t(scanned);
    const uint32_t dataBytes = frames * frameBytes;

    // A handle that has scanned decodes MPEG-2 and 2.5 streams slightly differently afterwards (some
    // samples off by one step with mpg123 1.31) from a handle that has not, which is what every player
    // hears. The samples therefore come from a fresh handle, locked to the same format.
    if (!Open(source, progress)) {
        CheckNotCancelled(progress);
        Throw();
    }
    handle = handle_.get();
    long rateAgain = 0;
    int channelsAgain = 0;
    int encodingAgain = 0;
    const bool isSameFormat = mpg123_getformat(handle, &rateAgain, &channelsAgain, &encodingAgain) == MPG123_OK &&
                              rateAgain == rate && channelsAgain == channelCount && encodingAgain == encoding;
    CheckNotCancelled(progress);
    Check(isSameFormat, "the file changed while it was read");
    Check(mpg123_format_none(handle) == MPG123_OK && mpg123_format(handle, rate, channelCount, encoding) == MPG123_OK,
          "the MP3 decoder refused its own output format");

    const size_t bufferBytes = mpg123_outblock(handle) * 64;
    Check(bufferBytes != 0 && bufferBytes <= std::numeric_limits<uint32_t>::max(),
          "the MP3 decoder gave no output block size");
    std::vector<uint8_t> pcm(bufferBytes);

    const WaveFormat format = WaveFormat::Pcm16(uint16_t(channelCount), uint32_t(rate));
    // Failed writes of the stores have noted the system's reason ("No space left on device").
    StoreOutput output(buffer);
    output.Begin(format, frames, dataBytes);
    CheckNotCancelled(progress);

    YieldPacer pacer(110, 20);
    uint64_t decoded = 0;
    int code = MPG123_OK;
    do {
        size_t done = 0;
        code = mpg123_read(handle, pcm.data(), pcm.size(), &done);
        if (code == MPG123_NEW_FORMAT || code == MPG123_NEED_MORE)
            code = MPG123_DONE;
        else if (code == MPG123_ERR && done > 0)
            code = MPG123_DONE;
        CheckNotCancelled(progress);
        Check(done <= bufferBytes);
        // More than the scan promised cannot fit what was made for it: the length check below would
        // fail the decode anyway.
        Check(decoded + done / frameBytes <= frames, "damaged MPEG audio (it decodes to another length than its scan)");
        output.Write(pcm.data(), done);
        decoded += done / frameBytes;
        CheckNotCancelled(progress);
        if (progress)
            progress->SetPercent(float(double(decoded) * 100.0 / double(frames)));
        pacer.Pace();
    } while (code == MPG123_OK);

    // A read fault of the input ends the decoding like damage does; its reason was noted first.
    Check(code == MPG123_DONE, "damaged MPEG audio (decoding stopped early)");
    Check(decoded == frames, "damaged MPEG audio (it decodes to another length than its scan)");
    output.End();
    Close();
}

}  // namespace brindle

#include "formats/mp3_decoder.h"

#include <mpg123.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "formats/wav_file.h"
#include "storage/mapped_file_stream.h"
#include "storage/wave_format.h"
#include "tasks/progress.h"
#include "tasks/yield_pacer.h"

namespace brindle {
namespace {

constexpr const char* kError = "err";
constexpr const char* kBadEncoding = "bad encoding";
constexpr const char* kEndedPrematurely = "Warning: decoding ended prematurely.";

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

mpg123_ssize_t ReadFromStream(void* stream, void* buffer, size_t count)
{
    const uint32_t wanted = uint32_t(std::min<size_t>(count, std::numeric_limits<uint32_t>::max()));
    return wanted == 0 ? 0 : mpg123_ssize_t(static_cast<MappedFileStream*>(stream)->Read(buffer, 1, wanted));
}

off_t SeekInStream(void* stream, off_t offset, int whence)
{
    auto* input = static_cast<MappedFileStream*>(stream);
    const SeekOrigin origin = whence == SEEK_SET ? SeekOrigin::Begin
                              : whence == SEEK_CUR ? SeekOrigin::Current
                                                   : SeekOrigin::End;
    return input->Seek(offset, origin) ? off_t(input->Position()) : off_t(-1);
}

}  // namespace

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
    if (!DecoderLibrary::IsReady())
        return 0;
    if (mp3Path.empty())
        return 0;
    Close();
    // Made before the handle, so that on a failure below the handle is released before its stream.
    auto input = std::make_unique<MappedFileStream>();
    int error = MPG123_OK;
    std::unique_ptr<mpg123_handle_struct, HandleCloser> handle(mpg123_new(nullptr, &error));
    if (!handle)
        return 0;
    // The library's own notes about junk and resyncs would land on the editor's stderr; the decode
    // result already says everything the program acts on.
    mpg123_param(handle.get(), MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
    // On Linux a path is its bytes: UTF-8 names (Cyrillic included) pass through unchanged.
    if (!input->OpenForReading(mp3Path) ||
        mpg123_replace_reader_handle(handle.get(), &ReadFromStream, &SeekInStream, nullptr) != MPG123_OK ||
        mpg123_open_handle(handle.get(), input.get()) != MPG123_OK)
        return 0;
    input_ = std::move(input);
    handle_ = std::move(handle);
    return 1;
}

int Mp3Decoder::DecodeToWav(const std::filesystem::path& wavPath, const std::filesystem::path& mp3Path,
                            Progress* progress)
{
    int result = 0;
    try {
        DecodeOrThrow(wavPath, mp3Path, progress);
        result = 1;
    } catch (...) {
        // "err", "bad encoding" or "Warning: decoding ended prematurely." -- none reaches the user.
    }
    Close();
    return FinishProgress(progress, result);
}

void Mp3Decoder::DecodeOrThrow(const std::filesystem::path& wavPath, const std::filesystem::path& mp3Path,
                               Progress* progress)
{
    if (wavPath.empty() || mp3Path.empty() || IsCancelled(progress))
        throw kError;
    if (!Open(mp3Path))
        throw kError;
    mpg123_handle* handle = handle_.get();

    long rate = 0;
    int channelCount = 0;
    int encoding = 0;
    if (mpg123_getformat(handle, &rate, &channelCount, &encoding) != MPG123_OK)
        throw kError;
    if (encoding != MPG123_ENC_SIGNED_16)
        throw kBadEncoding;
    if (rate <= 0 || (channelCount != 1 && channelCount != 2))
        throw kError;
    // Lock the output to what the stream reported, so a later change cannot slip into the file.
    if (mpg123_format_none(handle) != MPG123_OK || mpg123_format(handle, rate, channelCount, encoding) != MPG123_OK)
        throw kError;

    // Without a full scan the length of a file lacking a Xing/LAME header is only an estimate.
    if (mpg123_scan(handle) != MPG123_OK)
        throw kError;
    const off_t scanned = mpg123_length(handle);
    if (scanned < 1)
        throw kError;
    const uint32_t frameBytes = uint32_t(channelCount) * 2;
    // The header's sizes are 32-bit: a sound that does not fit cannot be written as WAV.
    if (uint64_t(scanned) * frameBytes > std::numeric_limits<uint32_t>::max() - 36u)
        throw kError;
    const uint32_t frames = uint32_t(scanned);
    const uint32_t dataBytes = frames * frameBytes;

    // A handle that has scanned decodes MPEG-2 and 2.5 streams slightly differently afterwards (some
    // samples off by one step with mpg123 1.31) from a handle that has not, which is what every player
    // hears. The samples therefore come from a fresh handle, locked to the same format.
    if (!Open(mp3Path))
        throw kError;
    handle = handle_.get();
    long rateAgain = 0;
    int channelsAgain = 0;
    int encodingAgain = 0;
    if (mpg123_getformat(handle, &rateAgain, &channelsAgain, &encodingAgain) != MPG123_OK || rateAgain != rate ||
        channelsAgain != channelCount || encodingAgain != encoding)
        throw kError;
    if (mpg123_format_none(handle) != MPG123_OK || mpg123_format(handle, rate, channelCount, encoding) != MPG123_OK)
        throw kError;

    const size_t bufferBytes = mpg123_outblock(handle) * 64;
    if (bufferBytes == 0 || bufferBytes > std::numeric_limits<uint32_t>::max())
        throw kError;
    std::vector<uint8_t> buffer(bufferBytes);

    MappedFileStream output;
    if (!output.OpenForWriting(wavPath, 4096))
        throw kError;

    WaveFormat format;
    format.formatTag = 1;
    format.channelCount = uint16_t(channelCount);
    format.samplesPerSecond = uint32_t(rate);
    format.avgBytesPerSecond = uint32_t(rate) * frameBytes;
    format.blockAlign = uint16_t(frameBytes);
    format.bitsPerSample = 16;
    const auto header = MakeWavHeader(format, dataBytes);
    if (output.Write(header.data(), kWavHeaderBytes, 1) != 1)
        throw kError;
    if (IsCancelled(progress))
        throw kError;

    YieldPacer pacer(110, 20);
    uint64_t decoded = 0;
    int code = MPG123_OK;
    do {
        size_t done = 0;
        code = mpg123_read(handle, buffer.data(), buffer.size(), &done);
        if (code == MPG123_NEW_FORMAT || code == MPG123_NEED_MORE)
            code = MPG123_DONE;
        else if (code == MPG123_ERR && done > 0)
            code = MPG123_DONE;
        if (IsCancelled(progress))
            throw kError;
        if (done > bufferBytes || output.Write(buffer.data(), 1, uint32_t(done)) != done)
            throw kError;
        decoded += done / frameBytes;
        if (IsCancelled(progress))
            throw kError;
        if (progress)
            progress->SetPercent(float(double(decoded) * 100.0 / double(frames)));
        pacer.Pace();
    } while (code == MPG123_OK);

    if (code != MPG123_DONE)
        throw kEndedPrematurely;
    if (decoded != frames)
        throw kError;
    output.Close();
    Close();
}

}  // namespace brindle

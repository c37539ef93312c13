#include "formats/mp3_encoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "formats/lame_adapter.h"
#include "formats/mp3_range_encode.h"
#include "storage/mapped_file_stream.h"
#include "storage/sound_buffer.h"
#include "tasks/failure.h"
#include "tasks/progress.h"
#include "tasks/worker_crew.h"
#include "tasks/yield_pacer.h"

namespace brindle {
namespace {

// After a failed write of the output: the system's reason when the stream left one in errno.
[[noreturn]] void ThrowWriteFailure()
{
    if (errno != 0)
        ThrowSystem();
    ThrowFormat("cannot write the MP3 file");
}

void CheckNotCancelled(const Progress* progress)
{
    if (IsCancelled(progress))
        ThrowCancelled();
}

BE_CONFIG MakeConfig(const SoundBuffer& buffer)
{
    BE_CONFIG config = LameConfig(buffer.format.samplesPerSecond,
                                  buffer.channels.ChannelCount() == 1 ? BE_MP3_MODE_MONO : BE_MP3_MODE_JSTEREO);
    auto& lhv1 = config.format.LHV1;
    lhv1.dwBitrate = 128;
    lhv1.dwMaxBitrate = 192;
    lhv1.nPreset = LQP_HIGH_QUALITY;
    lhv1.dwMpegVersion = MPEG1;
    lhv1.bWriteVBRHeader = 1;
    lhv1.bEnableVBR = 1;
    lhv1.nVBRQuality = 4;
    lhv1.dwVbrAbr_bps = 0;
    lhv1.nVbrMethod = VBR_METHOD_DEFAULT;
    lhv1.bNoRes = 1;
    lhv1.bStrictIso = 0;
    lhv1.nQuality = 0;
    return config;
}

}  // namespace

Mp3Encoder& Mp3Encoder::Instance()
{
    static Mp3Encoder encoder(DefaultLibraryCandidates());
    return encoder;
}

std::string Mp3Encoder::LibraryPathIn(const std::filesystem::path& folder)
{
    return (folder / kLameLibraryName).lexically_normal().string();
}

std::vector<std::string> Mp3Encoder::DefaultLibraryCandidates()
{
    std::vector<std::string> candidates;
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error && executable.has_parent_path())
        candidates.push_back(LibraryPathIn(executable.parent_path()));
    candidates.emplace_back(kLameLibraryName);
    return candidates;
}

Mp3Encoder::Mp3Encoder(const std::vector<std::string>& candidates, bool useInfoTag)
{
    // In the body: the reason is a member that is only constructed after the adapter.
    adapter_ = LameAdapter::Load(candidates, useInfoTag, &loadFailure_);
    if (!adapter_ && loadFailure_.empty())
        loadFailure_ = std::string("the MP3 encoder library ") + kLameLibraryName + " was not found";
}

Mp3Encoder::~Mp3Encoder() = default;

std::string Mp3Encoder::LibraryPath() const { return adapter_ ? adapter_->LoadedPath() : std::string(); }

int Mp3Encoder::EncodeToMp3(const std::filesystem::path& path, SoundBuffer& buffer, Progress* progress)
{
    const int result = Guarded([&] {
        EncodeOrThrow(path, buffer, progress);
        return true;
    });
    return FinishProgress(progress, result);
}

void Mp3Encoder::EncodeOrThrow(const std::filesystem::path& path, SoundBuffer& buffer, Progress* progress)
{
    CheckNotCancelled(progress);
    if (!adapter_)
        throw Failure({FailureKind::System, loadFailure_});
    if (path.empty())
        ThrowFormat("no file name");
    if (!buffer.HasSound())
        ThrowFormat("there is no sound to save");
    const uint32_t frameCount = buffer.frameCount;
    const uint32_t channelCount = buffer.channels.ChannelCount();
    if (frameCount == 0 || (channelCount != 1 && channelCount != 2))
        ThrowFormat("only mono and stereo sounds can be saved as MP3");
    rangesUsed_ = 1;

    MappedFileStream output;
    errno = 0;
    if (!output.OpenForWriting(path, 4096))
        ThrowWriteFailure();
    const BE_CONFIG config = MakeConfig(buffer);

    std::unique_ptr<LameStream> stream;
    const unsigned cores = rangeCount_ == 0 ? UsableCores() : 0;
    const double seconds = double(frameCount) / double(buffer.format.samplesPerSecond);
    const unsigned ranges =
        rangeCount_ != 0 ? rangeCount_ : std::min(cores, unsigned(std::max(1.0, seconds / kMinRangeSeconds)));
    bool isEncoded = false;
    // The header of the older route is the library's own doing and cannot be made for the whole file.
    if (ranges > 1 && adapter_->HasWriteInfoTag()) {
        unsigned used = 1;
        switch (detail::EncodeRanges(*adapter_, config, buffer, ranges, output, &stream, progress, &used)) {
        case detail::RangeEncode::Done:
            rangesUsed_ = used;
            isEncoded = true;
            break;
        case detail::RangeEncode::Failed:
            CheckNotCancelled(progress);
            throw Failure();  // the reason was noted where the fault was found
        case detail::RangeEncode::NotVouched:
            // Written again from the start by one encoder.
            stream.reset();
            output.Close();
            errno = 0;
            if (!output.OpenForWriting(path, 4096))
                ThrowWriteFailure();
            break;
        }
    }
    if (!isEncoded)
        EncodeWholeOrThrow(output, config, buffer, progress, &stream);

    adapter_->beCloseStream(stream.get());
    errno = 0;
    if (!output.CloseChecked())  // the cut to the bytes written failed: zeros would trail the MP3
        ThrowWriteFailure();

    // A header the library could not make is let go: without it the file still plays, only less
    // exactly. A header that could not be written is a failed write like any other.
    const std::string narrowPath = path.string();
    errno = 0;
    const BE_ERR header = adapter_->HasWriteInfoTag() ? adapter_->beWriteInfoTag(stream.get(), narrowPath.c_str())
                                                      : adapter_->beWriteVBRHeader(narrowPath.c_str());
    if (header == BE_ERR_INVALID_HANDLE)
        ThrowWriteFailure();
}

void Mp3Encoder::EncodeWholeOrThrow(MappedFileStream& output, const BE_CONFIG& config, SoundBuffer& buffer,
                                    Progress* progress, std::unique_ptr<LameStream>* streamOut)
{
    const uint32_t frameCount = buffer.frameCount;
    const uint32_t channelCount = buffer.channels.ChannelCount();
    uint32_t chunkSamples = 0;
    uint32_t outputBytes = 0;
    std::unique_ptr<LameStream>& stream = *streamOut;
    // The stream's owner releases the encoder on every failure path below.
    if (adapter_->beInitStream(&config, &chunkSamples, &outputBytes, &stream) != BE_ERR_SUCCESSFUL || !stream)
        ThrowFormat("the MP3 encoder refused the sound's format (" +
                    std::to_string(buffer.format.samplesPerSecond) + " Hz)");
    if (chunkSamples == 0 || chunkSamples % channelCount != 0 || outputBytes == 0)
        ThrowFormat("the MP3 encoder library gave unusable buffer sizes");
    std::vector<uint8_t> encoded(outputBytes);
    std::vector<int16_t> input(chunkSamples);

    YieldPacer pacer(110, 20);
    uint32_t frame = 0;
    while (frame < frameCount) {
        const uint32_t samples = buffer.ReadInterleaved16(input.data(), chunkSamples, frame);
        // Before the end, no samples means the channel files could not be read: an MP3 cut short
        // must not pass for a finished one.
        if (samples == 0 || samples % channelCount != 0)
            ThrowFormat("cannot read the sound to encode");
        frame += samples / channelCount;
        CheckNotCancelled(progress);
        uint32_t written = 0;
        if (adapter_->beEncodeChunk(stream.get(), samples, input.data(), encoded.data(), &written) !=
                BE_ERR_SUCCESSFUL ||
            written > outputBytes)
            ThrowFormat("the MP3 encoder failed");
        CheckNotCancelled(progress);
        errno = 0;
        if (written > 0 && output.Write(encoded.data(), 1, written) != written)
            ThrowWriteFailure();
        CheckNotCancelled(progress);
        if (progress)
            progress->SetPercent(float(double(frame) * 100.0 / double(frameCount)));
        pacer.Pace();
    }

    uint32_t written = 0;
    if (adapter_->beDeinitStream(stream.get(), encoded.data(), &written) != BE_ERR_SUCCESSFUL || written > outputBytes)
        ThrowFormat("the MP3 encoder failed");
    errno = 0;
    if (written > 0 && output.Write(encoded.data(), 1, written) != written)
        ThrowWriteFailure();
}

int EncodeToMp3(const std::filesystem::path& path, SoundBuffer& buffer, Progress* progress)
{
    return Mp3Encoder::Instance().EncodeToMp3(path, buffer, progress);
}

}  // namespace brindle

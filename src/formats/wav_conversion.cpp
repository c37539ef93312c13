#include "formats/wav_conversion.h"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "storage/sample_conversion.h"
#include "formats/check.h"
#include "formats/sndfile_handle.h"
#include "formats/store_output.h"
#include "formats/wav_file.h"
#include "storage/block_file.h"
#include "storage/file_handle.h"
#include "storage/mapped_file_stream.h"
#include "storage/source_file.h"
#include "storage/sound_buffer.h"
#include "storage/wave_format.h"
#include "tasks/progress.h"
#include "tasks/yield_pacer.h"

namespace brindle {

namespace {

using detail::Check;
using detail::CheckNotCancelled;
using detail::StoreOutput;

using detail::kDecodeChunkSamples;
using detail::SndfileHandle;

// Source kinds by extension; only WAV sources are decoded here (an MP3 has its own decoder, and a
// WMA or anything else is refused).
enum SourceKind { kMp3Source = 0, kWavSource = 1, kWmaSource = 2, kRefusedSource = 255 };

SourceKind ClassifySource(const std::filesystem::path& source)
{
    std::string extension = source.extension().string();
    if (!extension.empty())
        extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); });
    if (extension == "mp3")
        return kMp3Source;
    if (extension == "wav" || extension == "pcm")
        return kWavSource;
    if (extension == "wma")
        return kWmaSource;
    return kRefusedSource;
}

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// What a walk over the file's top-level chunks finds before libsndfile parses them.
struct ChunkSurvey {
    // The "fact" chunk's sample count; 0 when there is none or the walk meets a damaged chunk header
    // first. libsndfile reports block codecs in whole blocks and ignores "fact"; the chunk may sit
    // before or after "data" (an IMA ADPCM sample of the McGill AFsp set has it after).
    uint32_t factFrames = 0;
    bool listWraps = false;
};

// libsndfile adds up a LIST chunk's entries in 32 bits: an entry whose size takes that sum past
// 4 GiB sends its parser back and forth over the same bytes for ever, inside sf_open_fd, where no
// cancel reaches. No real entry is that large, so such a list marks the file as damaged.
bool ListEntriesWrap(MappedFileStream& stream, uint32_t listSize)
{
    const uint32_t start = stream.Position();
    const uint32_t length = std::min(listSize, stream.Size() - start);
    uint64_t walked = 0;
    uint8_t bytes[8];
    for (int step = 0; step < 4096 && walked < length; ++step) {
        if (stream.Read(bytes, 4, 1) != 1)
            break;
        walked += 4;
        // The list's own type and the markers libsndfile stops at carry no size.
        if (std::memcmp(bytes, "INFO", 4) == 0 || std::memcmp(bytes, "adtl", 4) == 0)
            continue;
        if (Le32(bytes) == 0 || std::memcmp(bytes, "data", 4) == 0 || std::memcmp(bytes, "exif", 4) == 0)
            break;
        if (stream.Read(bytes + 4, 4, 1) != 1)
            break;
        const uint32_t size = Le32(bytes + 4);
        walked += 4 + uint64_t(size) + (size & 1);
        if (walked > UINT32_MAX)
            return true;
        if (walked > length || !stream.SeekTo(uint32_t(start + walked)))
            break;
    }
    return false;
}

ChunkSurvey SurveyChunks(const SourceFile& source)
{
    ChunkSurvey survey;
    // Reads with pread: libsndfile moves the shared file offset meanwhile.
    MappedFileStream stream;
    if (!stream.OpenForReading(source))
        return survey;
    uint8_t bytes[12];
    if (stream.Read(bytes, 12, 1) != 1 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0)
        return survey;
    // Each step moves on by at least 8 bytes, so the walk ends; the cap only bounds the work on a
    // file made of thousands of tiny chunks.
    bool factSeen = false;
    for (int step = 0; step < 4096 && !stream.IsAtEnd(); ++step) {
        if (stream.Read(bytes, 8, 1) != 1)
            break;
        const uint32_t size = Le32(bytes + 4);
        const uint64_t next = uint64_t(stream.Position()) + size + (size & 1);
        if (std::memcmp(bytes, "fact", 4) == 0 && !factSeen) {
            factSeen = true;
            uint8_t count[4];
            if (size >= 4 && stream.Read(count, 4, 1) == 1)
                survey.factFrames = Le32(count);
        } else if (std::memcmp(bytes, "LIST", 4) == 0 && ListEntriesWrap(stream, size)) {
            survey.listWraps = true;
            break;
        }
        if (int32_t(size) < 0 || next > UINT32_MAX || !stream.SeekTo(uint32_t(next)))
            break;
    }
    return survey;
}

bool IsBlockCodec(int format)
{
    const int subtype = format & SF_FORMAT_SUBMASK;
    return subtype == SF_FORMAT_IMA_ADPCM || subtype == SF_FORMAT_MS_ADPCM || subtype == SF_FORMAT_GSM610;
}

// libsndfile's reason for refusing a file ("Error in WAV file. No 'data' chunk marker."), as ours.
std::string DecoderReason()
{
    std::string text = sf_strerror(nullptr);
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = char(text[0] - 'A' + 'a');
    return "cannot decode this WAV file (" + text + ")";
}

// How the decoded samples reach the stores. libsndfile reads 24- and 32-bit PCM and 32-bit float at
// full precision; everything else is rounded to 16 bits on the way, exactly as if a 16-bit PCM copy
// of the file had been read.
struct Resolution {
    uint16_t formatTag = 1;
    uint16_t bits = 16;
    bool readsIntegers = false;  // sf_readf_int (left-justified 32-bit) rather than sf_readf_float
};

Resolution ResolutionOf(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_24: return {1, 24, true};
    case SF_FORMAT_PCM_32: return {1, 32, true};
    case SF_FORMAT_FLOAT: return {3, 32, false};
    default: return {};
    }
}

void Convert(const SourceFile& source, StoreOutput& output, Progress* progress)
{
    CheckNotCancelled(progress);
    Check(source.IsOpen(), "no file");
    Check(ClassifySource(source.Path()) == kWavSource, "only a file named .wav or .pcm is converted");
    const uint32_t range = progress ? progress->Range() : 0;
    const uint32_t setupShare = uint32_t(double(range) * 0.3);

    // The file opened at the door, handed over, never by name: that open refused a FIFO or a device
    // without blocking (libsndfile's own open would wait for a FIFO's writer for ever). Its own
    // descriptor outlives the decoder, which does not close it.
    FileHandle sourceFile;
    UniqueFd duplicate = source.DuplicateAtStart();
    Check(duplicate.IsValid());
    sourceFile.Adopt(std::move(duplicate), OpenMode::ReadOnly);
    const int64_t sourceBytes = int64_t(source.Size());
    const ChunkSurvey survey = SurveyChunks(source);
    Check(!survey.listWraps, "cannot decode this WAV file (a LIST chunk's entry is larger than the file)");
    SF_INFO info{};
    SndfileHandle file(sf_open_fd(sourceFile.Fd(), SFM_READ, &info, SF_FALSE));
    Check(file != nullptr, DecoderReason());
    const int container = info.format & SF_FORMAT_TYPEMASK;
    Check(container == SF_FORMAT_WAV || container == SF_FORMAT_WAVEX, "not a WAV file");
    Check(info.channels >= 1 && info.samplerate >= 1, "0 channels or sample rate 0");
    const uint32_t channels = uint32_t(info.channels);
    const Resolution resolution = ResolutionOf(info.format);
    const uint64_t blockAlign = uint64_t(channels) * (resolution.bits / 8);
    const uint64_t byteRate = blockAlign * uint32_t(info.samplerate);
    Check(blockAlign <= UINT16_MAX && byteRate <= UINT32_MAX, "too many channels or too high a sample rate");

    uint64_t frameLimit = info.frames > 0 ? uint64_t(info.frames) : 0;
    if (IsBlockCodec(info.format)) {
        if (survey.factFrames != 0)
            frameLimit = std::min<uint64_t>(frameLimit, survey.factFrames);
    }
    Check(frameLimit != 0, "no samples");

    WaveFormat format;
    format.formatTag = resolution.formatTag;
    format.channelCount = uint16_t(channels);
    format.samplesPerSecond = uint32_t(info.samplerate);
    format.avgBytesPerSecond = uint32_t(byteRate);
    format.blockAlign = uint16_t(blockAlign);
    format.bitsPerSample = resolution.bits;

    output.Begin(format, frameLimit);

    CheckNotCancelled(progress);
    if (progress)
        progress->Advance(int32_t(setupShare));
    std::unique_ptr<SubProgress> conversion;
    if (progress)
        conversion = std::make_unique<SubProgress>(*progress, range - setupShare);

    // About 1 MiB of floats per chunk whatever the channel count.
    const uint32_t chunkFrames = std::max<uint32_t>(1, kDecodeChunkSamples / channels);
    std::vector<float> samples(size_t(chunkFrames) * channels);
    std::vector<int32_t> integers(resolution.readsIntegers ? samples.size() : 0);
    std::vector<uint8_t> pcm(resolution.bits == 16 ? samples.size() * 2 : 0);
    YieldPacer pacer(110, 20);
    pacer.Start();
    uint64_t framesWritten = 0;
    while (framesWritten < frameLimit) {
        const sf_count_t wanted = sf_count_t(std::min<uint64_t>(chunkFrames, frameLimit - framesWritten));
        const sf_count_t got = resolution.readsIntegers ? sf_readf_int(file.get(), integers.data(), wanted)
                                                        : sf_readf_float(file.get(), samples.data(), wanted);
        if (got <= 0)
            break;
        const size_t sampleCount = size_t(got) * channels;
        if (resolution.readsIntegers) {
            ConvertS32ToFloat(integers.data(), samples.data(), sampleCount);
        } else if (resolution.bits == 16) {
            ConvertFloatToS16Le(samples.data(), sampleCount, pcm.data(), 1);
            ConvertS16LeToFloat(pcm.data(), 1, samples.data(), sampleCount);
        }
        Check(FitsWavSizes(format, (framesWritten + uint64_t(got)) * blockAlign),
              "too long for a WAV file (4 GiB)");
        output.Write(samples.data(), uint32_t(got));
        framesWritten += uint64_t(got);
        CheckNotCancelled(progress);
        if (conversion)
            conversion->SetPercent(float(double(framesWritten) * 100.0 / double(frameLimit)));
        pacer.Pace();
    }
    Check(framesWritten != 0, "no samples could be decoded");
    // A source that shrank while it was decoded only looks like an early end to libsndfile.
    if (sourceFile.FileSize() < sourceBytes)
        throw Failure({FailureKind::System, "the file shrank while it was read"});

    output.End(framesWritten);
    if (conversion)
        conversion->Complete();
}

}  // namespace

int DecodeWavInto(SoundBuffer& buffer, const std::filesystem::path& source, Progress* progress)
{
    SourceFile file;
    if (!file.Open(source)) {
        buffer.Clear();
        return FinishProgress(progress, 0);
    }
    return DecodeWavInto(buffer, file, progress);
}

int DecodeWavInto(SoundBuffer& buffer, const SourceFile& source, Progress* progress)
{
    const int result = Guarded([&] {
        StoreOutput output(buffer);
        Convert(source, output, progress);
        return true;
    });
    if (!result)
        buffer.Clear();
    return FinishProgress(progress, result);
}

}  // namespace brindle

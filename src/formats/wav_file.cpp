#include "formats/wav_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "formats/wav_conversion.h"
#include "storage/mapped_file_stream.h"
#include "storage/sample_store.h"
#include "formats/check.h"
#include "storage/plain_file_stream.h"
#include "storage/sound_buffer.h"
#include "storage/source_file.h"
#include "storage/temp_files.h"
#include "tasks/progress.h"
#include "tasks/yield_pacer.h"

namespace brindle {

namespace {

using detail::Check;
using detail::CheckNotCancelled;

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutLe16(uint8_t* p, uint16_t v)
{
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        p[k] = uint8_t(v >> (8 * k));
}

struct ChunkHeader {
    char code[4];
    uint32_t size;

    bool Is(const char* fourCc) const { return std::memcmp(code, fourCc, 4) == 0; }
};

// Only called with bytes left: the walks stop at the end of the file.
ChunkHeader ReadChunkHeader(FileStream& stream)
{
    uint8_t bytes[8];
    // Also a file with 1 to 7 stray bytes after its last chunk: the walk cannot tell them apart.
    Check(stream.Read(bytes, 8, 1) == 1, "cut short (in a chunk header)");
    ChunkHeader header;
    std::memcpy(header.code, bytes, 4);
    header.size = Le32(bytes + 4);
    return header;
}

// "RIFF" (its size is ignored: writers get it wrong too often to trust it) and "WAVE".
void ReadRiffWave(FileStream& stream)
{
    Check(stream.IsOpen() && stream.Rewind());
    Check(stream.Size() != 0, "empty file");
    uint8_t bytes[8];
    const bool hasHeader = stream.Read(bytes, 8, 1) == 1;
    // Two relatives of RIFF that this reader does not read, named so the user knows what the file is.
    Check(!hasHeader || std::memcmp(bytes, "RF64", 4) != 0, "RF64 (64-bit) WAV files do not open");
    Check(!hasHeader || std::memcmp(bytes, "RIFX", 4) != 0, "big-endian (RIFX) WAV files do not open");
    Check(hasHeader && std::memcmp(bytes, "RIFF", 4) == 0, "not a WAV file (no RIFF header)");
    char wave[4];
    Check(stream.Read(wave, 4, 1) == 1 && std::memcmp(wave, "WAVE", 4) == 0, "not a WAV file (RIFF but not WAVE)");
    Check(!stream.IsAtEnd(), "no chunks after the RIFF header");
}

// The first 16 bytes of a "fmt " chunk as a PCM record; any extra bytes (an extra-size field, the
// WAVE_FORMAT_EXTENSIBLE part, ADPCM coefficients) are skipped unread, so extraSize stays 0.
void ReadFormatChunk(FileStream& stream, const ChunkHeader& chunk, WaveFormat& format)
{
    Check(chunk.size >= 16, "format chunk shorter than 16 bytes");
    uint8_t record[16];
    Check(stream.Read(record, 16, 1) == 1, "cut short (in the format chunk)");
    format.SetFromPcmRecord(record);
    if (chunk.size > 16)
        Check(stream.Seek(int64_t(chunk.size) - 16, SeekOrigin::Current), "format chunk larger than 4 GiB");
}

// Skips a chunk and its pad byte. A size of 0, or one above 2 GiB, is taken as a corrupt header
// rather than a chunk: both would let a damaged file walk on through garbage.
void SkipChunk(FileStream& stream, const ChunkHeader& chunk)
{
    Check(chunk.size != 0, "damaged chunk header (size 0)");
    Check(int32_t(chunk.size) > 0, "damaged chunk header (size over 2 GiB)");
    Check(stream.Seek(int64_t(chunk.size) + (chunk.size & 1), SeekOrigin::Current), "chunk runs past 4 GiB");
}

// The bytes of a data chunk: its stated size, cut to the bytes the file holds after the header.
// A size is a claim, and a 40 KB file stating 2 GiB must not become 2 GiB of silence on disk. This
// also covers streaming writers that cannot seek back and leave the size at 0xFFFFFFFF ("unknown";
// ffmpeg writing to a pipe): such a chunk runs to the end of the file.
uint32_t DataByteCount(const FileStream& stream, const ChunkHeader& chunk)
{
    const uint32_t remaining = stream.Size() > stream.Position() ? stream.Size() - stream.Position() : 0;
    return std::min(chunk.size, remaining);
}

// Frames of a PCM data chunk; 0 when the block align is 0 (the format check rejects that file).
uint32_t PcmFrameCount(const WaveFormat& format, uint32_t dataBytes)
{
    return format.blockAlign == 0 ? 0 : dataBytes / format.blockAlign;
}

void ClearHeaderFields(SoundBuffer& buffer)
{
    buffer.format.Clear();
    buffer.frameCount = 0;
    buffer.dataByteCount = 0;
}

// The header test for a file that the converter will decode. The decoder reads the codec's own
// fields, so two fields the PCM test insists on are not required here: the byte rate (a real MS
// ADPCM file states 0 and decodes fine) and, for codecs whose bits-per-sample field means nothing,
// the bit count, which writers leave at 0 (sox and others for GSM 6.10; MPEG audio in RIFF).
// Bits 0 or 1 still fail for every other tag.
bool IsConvertibleFormat(const WaveFormat& format)
{
    const bool bitsAreMeaningless = format.formatTag == 0x0031 || format.formatTag == 0x0050 || format.formatTag == 0x0055;
    return format.formatTag >= 2 && format.channelCount >= 1 && format.samplesPerSecond >= 1 &&
           format.blockAlign >= 1 && (format.bitsPerSample >= 2 || bitsAreMeaningless);
}

bool IsDirectlyReadable(const WaveFormat& format)
{
    return format.formatTag == 1 && (format.channelCount == 1 || format.channelCount == 2) &&
           (format.bitsPerSample == 8 || format.bitsPerSample == 16);
}

// The resolutions a sound is held in and written back in: integer PCM of 8, 16, 24 or 32 bits, or
// 32-bit float.
bool IsKeptResolution(const WaveFormat& format)
{
    if (format.formatTag == 3)
        return format.bitsPerSample == 32;
    return format.formatTag == 1 && (format.bitsPerSample == 8 || format.bitsPerSample == 16 ||
                                      format.bitsPerSample == 24 || format.bitsPerSample == 32);
}

bool IsWritable(const WaveFormat& format)
{
    return format.IsValidFormat() && (format.channelCount == 1 || format.channelCount == 2) &&
           IsKeptResolution(format);
}

constexpr const char* kNotWritable = "only 8- to 32-bit PCM or 32-bit float in one or two channels is written";

std::string Printed(const char* pattern, unsigned value)
{
    char text[96];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// Why a format fails IsValidFormat, in the order of its tests.
std::string FormatFault(const WaveFormat& format)
{
    if (format.IsZero())
        return "no usable format chunk before the data";
    if (format.formatTag == 0)
        return "format tag 0 (no encoding)";
    if (format.channelCount == 0)
        return "0 channels";
    if (format.samplesPerSecond == 0)
        return "sample rate 0";
    if (format.blockAlign == 0)
        return "block align 0";
    if (format.bitsPerSample < 2)
        return Printed("%u bits per sample", format.bitsPerSample);
    return "inconsistent format chunk (byte rate or block align)";
}

// The checks on a PCM format before its samples are read, each with its own reason.
void CheckReadablePcm(const WaveFormat& format)
{
    Check(format.formatTag == 1, Printed("format tag 0x%04X is not PCM", format.formatTag));
    Check(format.channelCount <= 2, Printed("%u channels (only mono and stereo open)", format.channelCount));
    Check(format.bitsPerSample == 8 || format.bitsPerSample == 16,
          Printed("%u-bit samples (only 8- and 16-bit PCM is read directly)", format.bitsPerSample));
}

// The samples of a data chunk whose header has just been read, as pieces over a private copy of the
// file's own PCM bytes, converted as they are read: an open copies no sample into floats. The copy is a
// clone or an in-kernel copy of the data chunk (PrivatePcmCopy), so a program that later rewrites the
// file cannot change the open sound, and saving over the file is as safe as saving anywhere.
void ReadInPlace(FileStream& stream, SoundBuffer& buffer, ChannelSet& channels, Progress* progress,
                 const std::function<void()>& whileCopying)
{
    const WaveFormat& format = buffer.format;
    const uint32_t frames = buffer.frameCount;
    const uint32_t blockAlign = format.blockAlign;
    const int64_t dataStart = stream.Position();
    const int64_t bytes = int64_t(frames) * blockAlign;
    // The frame count was cut to the bytes the file held at open; a file that shrank since fails here.
    Check(uint64_t(dataStart) + uint64_t(bytes) <= stream.Size(), "cut short (in the samples)");
    const uint16_t width = uint16_t(format.bitsPerSample / 8);
    std::vector<std::shared_ptr<PcmStore>> made;
    auto adopt = [&](std::shared_ptr<const UniqueFd> file) {
        ChannelStore stores[2];
        for (uint16_t c = 0; c < format.channelCount; ++c) {
            made.push_back(std::make_shared<PcmStore>(file, dataStart, frames, uint16_t(blockAlign), width, c));
            stores[c].Assign(made.back());
        }
        Check(channels.Adopt(format.channelCount, format.samplesPerSecond, stores));
    };
    PrivateCopy copy;
    // Below this a copy takes a few tens of milliseconds: not worth a thread.
    constexpr int64_t kOverlapBytes = int64_t(32) << 20;
    if (whileCopying && bytes >= kOverlapBytes) {
        // The pass reads the source itself while the copy is made, and the stores turn to the copy
        // before the load returns: what the open sound reads from then on is the copy.
        auto source = std::make_shared<const UniqueFd>(::dup(stream.Descriptor()));
        Check(source->IsValid());
        BackgroundCopy copying(source->Get(), dataStart, bytes, progress);
        adopt(source);
        whileCopying();
        copy = copying.Finish(progress);
    } else {
        copy = PrivatePcmCopy(stream.Descriptor(), dataStart, bytes, progress);
    }
    CheckNotCancelled(progress);
    Check(copy.file != nullptr);
    struct stat st {};
    Check(::fstat(copy.file->Get(), &st) == 0 && st.st_size >= dataStart + bytes, "cut short (in the samples)");
    if (made.empty())
        adopt(copy.file);
    for (const auto& store : made)
        store->Redirect(copy.file, !copy.shared, copy.id);
    Check(stream.SeekTo(uint32_t(dataStart + bytes)));
}

// The samples of a data chunk whose header has just been read, into channels. The frame count was
// cut to the bytes the file held when it was opened, so every frame must arrive: a short read means
// the file shrank under us or could not be read, and the load fails.
void ReadSamples(FileStream& stream, SoundBuffer& buffer, ChannelSet& channels, Progress* progress,
                 const std::function<void()>& whileCopying)
{
    const WaveFormat& format = buffer.format;
    Check(format.IsValidFormat(), FormatFault(format));
    CheckReadablePcm(format);
    CheckNotCancelled(progress);
    if (!channels.IsEmpty())
        channels.Reset();
    Check(channels.IsEmpty() && stream.IsOpen() && IsDirectlyReadable(format));
    // With tag 1, 1 or 2 channels and 8 or 16 bits the format check pins block align to 1, 2 or 4,
    // which bounds the transfer buffer at 1 MiB.
    const uint32_t blockAlign = format.blockAlign;
    Check(blockAlign == uint32_t(format.channelCount) * format.bitsPerSample / 8);

    const uint32_t frames = buffer.frameCount;
    if (stream.Descriptor() >= 0) {
        ReadInPlace(stream, buffer, channels, progress, whileCopying);
        return;
    }
    Check(channels.Allocate(format.channelCount, frames, format.samplesPerSecond));
    std::vector<uint8_t> transfer(size_t(kBlockSamples) * blockAlign);
    YieldPacer pacer(110, 20);
    pacer.Start();

    const uint32_t blockCount = (frames + kBlockSamples - 1) / kBlockSamples;
    for (uint32_t i = 0; i < blockCount; ++i) {
        const uint32_t wanted = std::min(kBlockSamples, frames - i * kBlockSamples);
        const uint32_t got = stream.Read(transfer.data(), blockAlign, wanted);
        // A stream that knows why (the file shrank, an I/O error) has noted it already.
        Check(got == wanted, "cut short (in the samples)");
        for (uint32_t c = 0; c < format.channelCount; ++c)
            Check(channels.Channel(int(c)).PutPcmBlock(i, transfer.data(), blockAlign, got, format.channelCount, c) ==
                  int(got));
        CheckNotCancelled(progress);
        if (progress)
            progress->SetPercent(float(uint64_t(i + 1) * 100 / blockCount));
        pacer.Pace();
    }
    Check(channels.IsValid());
}

// The canonical header: "RIFF", 36 + D + P, "WAVE", "fmt " 16 with format's six fields, "data", D;
// P is 1 when D is odd. A float sound's "fmt " is 18 bytes, ending in an extra size of 0, and a "fact"
// chunk with the frame count follows it, as every reader of float WAVs expects (sox warns without
// them): 14 bytes more. Callers keep the RIFF size within 32 bits (FitsWavSizes).
constexpr uint32_t kWavHeaderBytes = 44;
constexpr uint32_t kFloatWavHeaderBytes = 58;
struct WavHeader {
    std::array<uint8_t, kFloatWavHeaderBytes> bytes{};
    uint32_t size = 0;
};

uint32_t HeaderBytes(const WaveFormat& format)
{
    return format.IsFloat() ? kFloatWavHeaderBytes : kWavHeaderBytes;
}

WavHeader MakeWavHeader(const WaveFormat& format, uint32_t dataByteCount)
{
    WavHeader header;
    header.size = HeaderBytes(format);
    uint8_t* h = header.bytes.data();
    const uint32_t fmtBytes = format.IsFloat() ? 18 : 16;
    std::memcpy(&h[0], "RIFF", 4);
    PutLe32(&h[4], header.size - 8 + dataByteCount + (dataByteCount & 1));
    std::memcpy(&h[8], "WAVE", 4);
    std::memcpy(&h[12], "fmt ", 4);
    PutLe32(&h[16], fmtBytes);
    PutLe16(&h[20], format.formatTag);
    PutLe16(&h[22], format.channelCount);
    PutLe32(&h[24], format.samplesPerSecond);
    PutLe32(&h[28], format.avgBytesPerSecond);
    PutLe16(&h[32], format.blockAlign);
    PutLe16(&h[34], format.bitsPerSample);
    uint8_t* p = &h[20 + fmtBytes];  // the extra size, when there is one, is the zero already there
    if (format.IsFloat()) {
        std::memcpy(p, "fact", 4);
        PutLe32(p + 4, 4);
        PutLe32(p + 8, dataByteCount / format.blockAlign);
        p += 12;
    }
    std::memcpy(p, "data", 4);
    PutLe32(p + 4, dataByteCount);
    return header;
}

}  // namespace

int ReadWavHeader(FileStream& stream, SoundBuffer& buffer)
{
    const int result = Guarded([&] {
        ReadRiffWave(stream);
        do {
            const ChunkHeader chunk = ReadChunkHeader(stream);
            if (chunk.Is("fmt ")) {
                ReadFormatChunk(stream, chunk, buffer.format);
            } else if (chunk.Is("data")) {
                WaveFormat& format = buffer.format;
                buffer.dataByteCount = DataByteCount(stream, chunk);
                buffer.frameCount = format.formatTag == 1 ? PcmFrameCount(format, buffer.dataByteCount) : 0;
                Check(format.formatTag == 1 ? format.IsValidFormat() : IsConvertibleFormat(format),
                      FormatFault(format));
                Check(format.extraSize == 0 || format.extraBytes.size() == format.extraSize);
                Check(buffer.dataByteCount != 0, "no samples (empty data chunk)");
                Check(format.formatTag != 1 || buffer.frameCount != 0, "no samples (data shorter than one frame)");
                return true;
            } else {
                SkipChunk(stream, chunk);
            }
        } while (!stream.IsAtEnd());
        return true;
    });
    if (!result)
        ClearHeaderFields(buffer);
    return result;
}

int FitsWavSizes(const WaveFormat& format, uint64_t dataBytes)
{
    return dataBytes + (dataBytes & 1) + HeaderBytes(format) - 8 <= UINT32_MAX;
}

int CheckLoadableFormat(const WaveFormat& format)
{
    return Guarded([&] {
        Check(format.IsValidFormat(), FormatFault(format));
        Check(format.channelCount <= 2, Printed("%u channels (only mono and stereo open)", format.channelCount));
        Check(IsKeptResolution(format), "a resolution that is not held (only 8- to 32-bit PCM and 32-bit float)");
        return true;
    });
}

int ReadWavInfo(const SourceFile& source, SoundBuffer& buffer)
{
    PlainFileStream stream;
    if (!stream.OpenForReading(source)) {
        ClearHeaderFields(buffer);
        return 0;
    }
    return ReadWavHeader(stream, buffer);
}

int ReadWavInfo(const std::filesystem::path& path, SoundBuffer& buffer)
{
    PlainFileStream stream;
    if (path.empty() || !stream.OpenForReading(path)) {
        if (path.empty())
            NoteSystemFailure(ENOENT);
        ClearHeaderFields(buffer);
        return 0;
    }
    return ReadWavHeader(stream, buffer);
}

int ReadWavStream(FileStream& stream, SoundBuffer& buffer, ChannelSet& channels, Progress* progress,
                  const std::function<void()>& whileCopying)
{
    const int result = Guarded([&] {
        Check(stream.IsOpen());
        CheckNotCancelled(progress);
        ClearHeaderFields(buffer);
        if (!channels.IsEmpty())
            channels.Reset();
        ReadRiffWave(stream);
        bool hasSamples = false;
        do {
            CheckNotCancelled(progress);
            const ChunkHeader chunk = ReadChunkHeader(stream);
            if (chunk.Is("fmt ")) {
                WaveFormat format;
                ReadFormatChunk(stream, chunk, format);
                // A second "fmt " after the samples must not relabel them (a mono header over
                // stereo stores would make every later save and edit disagree with the samples).
                Check(!hasSamples || (format.formatTag == buffer.format.formatTag &&
                                      format.channelCount == buffer.format.channelCount &&
                                      format.samplesPerSecond == buffer.format.samplesPerSecond &&
                                      format.blockAlign == buffer.format.blockAlign &&
                                      format.bitsPerSample == buffer.format.bitsPerSample),
                      "a second format chunk disagrees with the first");
                buffer.format = format;
            } else if (chunk.Is("data")) {
                WaveFormat& format = buffer.format;
                const uint32_t dataStart = stream.Position();
                buffer.dataByteCount = DataByteCount(stream, chunk);
                buffer.frameCount = PcmFrameCount(format, buffer.dataByteCount);
                Check(format.IsValidFormat(), FormatFault(format));
                Check(format.extraSize == 0 || format.extraBytes.size() == format.extraSize);
                Check(buffer.dataByteCount != 0, "no samples (empty data chunk)");
                Check(buffer.frameCount != 0, "no samples (data shorter than one frame)");
                CheckReadablePcm(format);
                ReadSamples(stream, buffer, channels, progress, whileCopying);
                hasSamples = true;
                // Past the whole chunk as stated and its pad byte, a final partial frame included,
                // so that the chunks after it are found where they are. A position past the end
                // ends the walk.
                const uint64_t next = uint64_t(dataStart) + chunk.size + (chunk.size & 1);
                Check(stream.SeekTo(uint32_t(std::min<uint64_t>(next, stream.Size()))));
            } else {
                SkipChunk(stream, chunk);
            }
        } while (!stream.IsAtEnd());
        return true;
    });
    if (!result) {
        ClearHeaderFields(buffer);
        channels.Reset();
    }
    return FinishProgress(progress, result);
}

int WriteWavStream(FileStream& stream, SoundBuffer& buffer, ChannelSet& channels, Progress* progress)
{
    const int result = Guarded([&] {
        const WaveFormat& format = buffer.format;
        Check(stream.IsOpen());
        Check(buffer.HasSound() && channels.IsValid(), "no sound to write");
        CheckNotCancelled(progress);
        Check(IsWritable(format), kNotWritable);
        Check(channels.ChannelCount() == format.channelCount);
        const uint32_t blockAlign = format.blockAlign;
        const uint64_t dataBytes = uint64_t(channels.FrameCount()) * blockAlign;
        Check(FitsWavSizes(format, dataBytes), "too long for a WAV file (4 GiB)");
        Check(stream.Rewind());

        // A failed write has noted the system's reason ("No space left on device").
        const WavHeader header = MakeWavHeader(format, uint32_t(dataBytes));
        Check(stream.Write(header.bytes.data(), header.size, 1) == 1);

        std::vector<uint8_t> transfer(size_t(kBlockSamples) * blockAlign);
        YieldPacer pacer(110, 20);
        pacer.Start();
        const bool isStereo = format.channelCount == 2;
        const bool isFloat = format.IsFloat();
        const uint32_t blockCount = channels.Channel(0).BlockCount();
        uint64_t framesWritten = 0;
        for (uint32_t i = 0; i < blockCount; ++i) {
            const int n = channels.Channel(0).GetPcmBlock(i, transfer.data(), blockAlign, kBlockSamples,
                                                          format.channelCount, 0, isFloat);
            Check(n > 0);
            CheckNotCancelled(progress);
            if (isStereo) {
                const int right =
                    channels.Channel(1).GetPcmBlock(i, transfer.data(), blockAlign, kBlockSamples, 2, 1, isFloat);
                Check(right == n);
                CheckNotCancelled(progress);
            }
            Check(stream.Write(transfer.data(), blockAlign, uint32_t(n)) == uint32_t(n));
            framesWritten += uint32_t(n);
            CheckNotCancelled(progress);
            if (progress)
                progress->SetPercent(float(uint64_t(i + 1) * 100 / blockCount));
            pacer.Pace();
        }
        Check(framesWritten == channels.FrameCount());
        if (dataBytes & 1)
            Check(stream.WriteByte(0) == 1);
        return true;
    });
    return FinishProgress(progress, result);
}

std::vector<uint8_t> WavHeaderBytes(const WaveFormat& format, uint32_t dataBytes)
{
    const WavHeader header = MakeWavHeader(format, dataBytes);
    return std::vector<uint8_t>(header.bytes.begin(), header.bytes.begin() + header.size);
}

int SaveWav(SoundBuffer& buffer, const std::filesystem::path& path, Progress* progress)
{
    const int result = Guarded([&] {
        Check(!path.empty(), "no file name");
        CheckNotCancelled(progress);
        // Checked before the file is opened: opening truncates it, and a buffer that cannot be
        // written must not cost the user the file already at that path.
        const WaveFormat& format = buffer.format;
        Check(buffer.HasSound(), "no sound to write");
        Check(IsWritable(format) && buffer.channels.ChannelCount() == format.channelCount, kNotWritable);
        const uint64_t dataBytes = uint64_t(buffer.channels.FrameCount()) * format.blockAlign;
        Check(FitsWavSizes(format, dataBytes), "too long for a WAV file (4 GiB)");

        MappedFileStream stream;
        Check(stream.OpenForWriting(path, 4096));
        const int written = WriteWavStream(stream, buffer, buffer.channels, progress);
        // The cut at close is part of the save: a file left at its last growth step ends in zeros
        // that no WAV reader expects.
        const int closed = stream.CloseChecked();
        return written && closed;
    });
    return FinishProgress(progress, result);
}

namespace {

// Every non-PCM tag, and PCM of other sizes than 8 and 16 bits that has samples, goes through the
// decoder. A PCM header without a data chunk is read directly: it loads with no sound.
bool NeedsConversion(const SoundBuffer& header)
{
    const WaveFormat& format = header.format;
    if (format.formatTag != 1)
        return true;
    return format.bitsPerSample != 8 && format.bitsPerSample != 16 && header.dataByteCount != 0;
}

}  // namespace

int LoadWav(SoundBuffer& buffer, const std::filesystem::path& path, Progress* progress,
            const std::function<void()>& whileCopying)
{
    SourceFile source;
    if (!source.Open(path)) {
        ClearHeaderFields(buffer);
        buffer.channels.Reset();
        return FinishProgress(progress, 0);
    }
    return LoadWav(buffer, source, progress, whileCopying);
}

int LoadWav(SoundBuffer& buffer, const SourceFile& source, Progress* progress,
            const std::function<void()>& whileCopying)
{
    const int result = Guarded([&] {
        Check(source.IsOpen());
        CheckNotCancelled(progress);
        const uint32_t range = progress ? progress->Range() : 0;
        const uint32_t conversionShare = uint32_t(double(range) * 0.2);

        SoundBuffer header;
        Check(ReadWavInfo(source, header));

        if (NeedsConversion(header)) {
            // Decoding straight into the stores is the conversion and the reading in one pass: it
            // moves the bar through both shares.
            std::unique_ptr<SubProgress> decodeProgress;
            if (progress)
                decodeProgress = std::make_unique<SubProgress>(*progress, range);
            Check(DecodeWavInto(buffer, source, decodeProgress.get()));
            CheckNotCancelled(progress);
            return true;
        }

        MappedFileStream stream;
        Check(stream.OpenForReading(source));
        // Only once the file is open: whatever a watcher does on hearing of progress, the stream
        // has the file it sized.
        if (progress)
            progress->Advance(int32_t(conversionShare));
        std::unique_ptr<SubProgress> readProgress;
        if (progress)
            readProgress = std::make_unique<SubProgress>(*progress, range - conversionShare);
        Check(ReadWavStream(stream, buffer, buffer.channels, readProgress.get(), whileCopying));
        stream.Close();
        return true;
    });
    if (!result) {
        ClearHeaderFields(buffer);
        buffer.channels.Reset();
    }
    return FinishProgress(progress, result);
}

}  // namespace brindle

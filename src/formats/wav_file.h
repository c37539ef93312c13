// Reading and writing WAV (RIFF) files.
//
// Read directly: uncompressed PCM with 8 or 16 bits per sample and one or two channels. Every other
// WAV goes through DecodeWavInto (wav_conversion.h) straight into the sample stores: 24- and 32-bit
// PCM and 32-bit float (plain or WAVE_FORMAT_EXTENSIBLE) at full precision, keeping their resolution
// in the format record; everything else (ADPCM, mu-law, A-law, GSM, 64-bit float...) as 16-bit
// samples, exactly as if a 16-bit PCM copy had been read. Written: the sound's own resolution (8-,
// 16-, 24- or 32-bit PCM with format tag 1, 32-bit float with tag 3) with the canonical 44-byte header
// ("RIFF", "fmt " of 16 bytes, "data"; for float an 18-byte "fmt " and a "fact" chunk, 58 bytes) and
// nothing else.
//
// Every operation returns 1 on success and 0 on failure; none throws. A failure notes its reason
// (tasks/failure.h): the system's ("No space left on device") or the file's ("not a WAV file (no RIFF
// header)", "3 channels (only mono and stereo open)"). Samples move one block of
// kBlockSamples frames at a time through one transfer buffer; a file is never held in memory.
// Operations run on the worker thread of a load or save task and pause briefly every 110 ms of work
// (YieldPacer). progress may be null; when given it is completed on success and failed on failure.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

namespace brindle {

class ChannelSet;
class FileStream;
class Progress;
class SoundBuffer;
class SourceFile;
struct WaveFormat;

// Loads the file into buffer, replacing what it held. The first 20% of the progress range covers
// the conversion of a non-PCM file, the rest the reading. On failure (cancellation included) the
// buffer is empty and no temporary file is left. A file without a data chunk loads with result 1
// and no sound. The file is opened read-only, so a file the user may only read loads; only a
// regular file opens. A file that shrinks while it loads fails the load.
// 8- and 16-bit PCM is read in place from a private copy of the file's bytes; whileCopying, when
// given, runs on this thread while a long file's copy is made, over the stores already in buffer
// (reading the file itself): the open's pass over the samples. It is not run for a short or a
// converted file.
int LoadWav(SoundBuffer& buffer, const SourceFile& source, Progress* progress,
            const std::function<void()>& whileCopying = {});
// The same for the file at path, opened here once.
int LoadWav(SoundBuffer& buffer, const std::filesystem::path& path, Progress* progress,
            const std::function<void()>& whileCopying = {});

// Writes buffer as a WAV file at path (created or replaced) in the buffer's resolution. A buffer
// that cannot be written (no sound, not 8- to 32-bit PCM or 32-bit float in one or two channels,
// data of 4 GiB or more) fails before the file is touched. A write that fails part-way leaves the
// file cut to what was written; a file that cannot be cut to its content at the end fails the save
// too.
int SaveWav(SoundBuffer& buffer, const std::filesystem::path& path, Progress* progress);

// The header SaveWav writes before dataBytes of samples in this format: 44 bytes, 58 for float. A
// writer that puts the samples in place by other means writes this in front of them.
std::vector<uint8_t> WavHeaderBytes(const WaveFormat& format, uint32_t dataBytes);

// 1 when the RIFF size of the file SaveWav would write for dataBytes of samples in this format fits
// its 32 bits; else 0.
int FitsWavSizes(const WaveFormat& format, uint64_t dataBytes);

// 1 when a loaded sound may carry this format record: one or two channels, consistent fields, and
// a resolution the writer writes back (8-, 16-, 24- or 32-bit PCM, 32-bit float); else 0 with the
// reason the WAV reader gives ("3 channels (only mono and stereo open)").
int CheckLoadableFormat(const WaveFormat& format);

// Reads only the header of the file (shared reading, the file must exist) into buffer's format,
// frameCount and dataByteCount; see ReadWavHeader.
int ReadWavInfo(const std::filesystem::path& path, SoundBuffer& buffer);
int ReadWavInfo(const SourceFile& source, SoundBuffer& buffer);

// Walks the chunks from offset 0 up to and including the first "data" chunk and fills buffer's
// format, frameCount (0 for a tag other than 1) and dataByteCount; the samples are not touched.
// A data chunk's stated size is cut to the bytes that follow its header in the file (a size of
// 0xFFFFFFFF, left by writers that cannot seek back, so runs to the end of the file).
// A file that ends without a data chunk succeeds with the format of its "fmt " chunk (if any) and
// no frames. On failure format, frameCount and dataByteCount are cleared.
int ReadWavHeader(FileStream& stream, SoundBuffer& buffer);

// Reads the whole file from offset 0: format and samples of a PCM file (tag 1, 8 or 16 bits, one or
// two channels) into buffer and channels. The data size is cut as ReadWavHeader cuts it, so every
// frame counted must be read: a stream that comes back short fails. Every chunk up to the end of the
// file is walked, so a file with 1 to 7 stray bytes after its last chunk fails. On failure buffer is
// cleared and channels reset.
int ReadWavStream(FileStream& stream, SoundBuffer& buffer, ChannelSet& channels, Progress* progress,
                  const std::function<void()>& whileCopying = {});

// Writes the header (44 bytes, 58 for float) and the samples of channels (valid and compact) in
// buffer's format, plus a zero pad byte when the data size is odd. Integer samples are rounded and
// clamped by the rules of storage/sample_conversion.h; float samples are written as they are held.
int WriteWavStream(FileStream& stream, SoundBuffer& buffer, ChannelSet& channels, Progress* progress);

}  // namespace brindle

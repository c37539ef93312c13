// FLAC, Ogg Vorbis and Opus files, decoded and encoded by libsndfile.
//
// Read: FLAC, and Vorbis or Opus in Ogg, with one or two channels (libsndfile's Ogg FLAC reader
// fails on what flac writes: such a file is refused with the decoder's words). 24-bit FLAC keeps
// its resolution (format record of 24 bits); everything else comes as 16-bit samples, exactly as a
// 16-bit PCM copy of the decoded sound would read. An Opus stream decodes at the rate its header
// names when Opus can run at it, else at 48 kHz. Written: FLAC at the sound's rate in 24 bits for a
// sound of more than 16, else 16; Vorbis at the sound's rate; Opus always at 48 kHz, resampled with
// libsoxr at its high quality when the sound has another rate. The tags go on through TagLib
// (FileTags::WriteXiphTags) once the samples are written.
//
// Samples move one chunk of about a megabyte at a time; a file is never held in memory. Both run on
// the worker thread of a load or save task and pause briefly every 110 ms of work. Every operation
// returns 1 on success and 0 on failure with the reason noted; none throws. progress may be null;
// when given it is completed on success and failed on failure.
#pragma once

#include <cstdint>
#include <filesystem>

namespace brindle {

class FileTags;
class Progress;
class SoundBuffer;
class SourceFile;

enum class XiphFormat : uint8_t { Flac, Vorbis, Opus };

// The rate an Opus file is written at, whatever the sound's.
constexpr uint32_t kOpusRate = 48000;

// Decodes source into buffer's sample stores, replacing what it held. On failure (cancellation
// included) the buffer is empty. A file that shrinks while it is decoded fails.
int LoadXiph(SoundBuffer& buffer, const SourceFile& source, Progress* progress);

// Writes buffer's sound to path (created or replaced) in format, then tags when given and it has
// anything to write. A write that fails part-way leaves a damaged file: the caller writes to a
// temporary file and throws it away.
int SaveXiph(const SoundBuffer& buffer, const std::filesystem::path& path, XiphFormat format,
             const FileTags* tags, Progress* progress);

}  // namespace brindle

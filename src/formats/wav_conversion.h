// Decoding of every WAV file the WAV reader does not read itself (anything but 8- and 16-bit PCM),
// straight into a sound's sample stores.
//
// Decoding is done by libsndfile (float, 24/32-bit PCM, WAVE_FORMAT_EXTENSIBLE, IMA and MS ADPCM,
// mu-law, A-law, GSM 6.10, and whatever else the installed library reads inside a RIFF/WAVE file).
// 24- and 32-bit PCM and 32-bit float keep their resolution; everything else is rounded to 16 bits.
// Runs on the load task's worker thread; it keeps no state between calls.
#pragma once

#include <filesystem>

namespace brindle {

class Progress;
class SoundBuffer;
class SourceFile;

// Decodes source into buffer's sample stores (replacing what it held) with the source's channel
// count and rate. 24- and 32-bit PCM (plain or WAVE_FORMAT_EXTENSIBLE) come as s / 2^23 and s / 2^31
// (the latter rounded to the nearest float) with a format record of tag 1 and their own bits; 32-bit
// float comes as it is (values beyond full scale, even NaN, included) with tag 3 and 32 bits. Every
// other encoding comes as 16-bit PCM: the samples, format and length the WAV reader would read from a
// 16-bit PCM copy of the file. The reasons for refusing are the WAV reader's (too many channels); no
// file is written. The source must be named *.wav or *.pcm (any case); every other name, *.mp3 and
// *.wma included, is refused. Where the result is 16-bit, float samples beyond full scale are
// clamped. For the block codecs (IMA/MS ADPCM, GSM 6.10) the length stated by the file's "fact" chunk
// is kept when it is shorter than the decoded blocks, which pad the last block.
//
// Returns 1 when at least one frame was decoded. On failure or cancellation (polled between chunks
// of frames) the result is 0 and the buffer is empty.
// progress (may be null): 30% of its range once the file is open, the rest by frames decoded;
// completed on success, failed on failure.
int DecodeWavInto(SoundBuffer& buffer, const SourceFile& source, Progress* progress);
// The same for the file at source, opened here.
int DecodeWavInto(SoundBuffer& buffer, const std::filesystem::path& source, Progress* progress);

}  // namespace brindle

// Conversion of a compressed or otherwise non-8/16-bit WAV file into a 16-bit PCM WAV file, so the
// WAV reader only ever reads 8- and 16-bit PCM itself.
//
// Decoding is done by libsndfile (float, 24/32-bit PCM, WAVE_FORMAT_EXTENSIBLE, IMA and MS ADPCM,
// mu-law, A-law, GSM 6.10, and whatever else the installed library reads inside a RIFF/WAVE file).
// Runs on the load task's worker thread; it keeps no state between calls.
#pragma once

#include <filesystem>

namespace brindle {

class Progress;
class SoundBuffer;

// Decodes source into a canonical 44-byte-header 16-bit PCM WAV at target (created or replaced),
// with the source's channel count and rate. The source must be named *.wav or *.pcm (any case);
// every other name, *.mp3 and *.wma included, is refused. Float samples beyond full scale are
// clamped. For the block codecs (IMA/MS ADPCM, GSM 6.10) the length stated by the file's "fact"
// chunk is kept when it is shorter than the decoded blocks, which pad the last block.
//
// Returns 1 when a complete PCM WAV with at least one frame is at target. On failure or
// cancellation (polled between chunks of frames) the result is 0 and a target written here is
// removed.
// progress (may be null): 30% of its range once the files are open, the rest by frames written;
// completed on success, failed on failure.
int ConvertToPcmWav(const std::filesystem::path& source, const std::filesystem::path& target, Progress* progress);

// The same decoding straight into buffer's sample stores (replacing what it held), with the samples,
// format and length the WAV reader would read from ConvertToPcmWav's file, and the reasons it would
// give for refusing that file (too many channels); no file is written. On failure the buffer is
// empty. progress as for ConvertToPcmWav.
int DecodeWavInto(SoundBuffer& buffer, const std::filesystem::path& source, Progress* progress);

}  // namespace brindle

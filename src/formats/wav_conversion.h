// Decoding of a compressed or otherwise non-8/16-bit WAV file to 16-bit samples, straight into a
// sound's sample stores, so that the WAV reader itself only ever reads 8- and 16-bit PCM.
//
// Decoding is done by libsndfile (float, 24/32-bit PCM, WAVE_FORMAT_EXTENSIBLE, IMA and MS ADPCM,
// mu-law, A-law, GSM 6.10, and whatever else the installed library reads inside a RIFF/WAVE file).
// Runs on the load task's worker thread; it keeps no state between calls.
#pragma once

#include <filesystem>

namespace brindle {

class Progress;
class SoundBuffer;

// Decodes source into buffer's sample stores (replacing what it held) as 16-bit PCM with the
// source's channel count and rate: the samples, format and length the WAV reader would read from a
// 16-bit PCM copy of the file, and the reasons it would give for refusing that copy (too many
// channels); no file is written. The source must be named *.wav or *.pcm (any case); every other
// name, *.mp3 and *.wma included, is refused. Float samples beyond full scale are clamped. For the
// block codecs (IMA/MS ADPCM, GSM 6.10) the length stated by the file's "fact" chunk is kept when it
// is shorter than the decoded blocks, which pad the last block.
//
// Returns 1 when at least one frame was decoded. On failure or cancellation (polled between chunks
// of frames) the result is 0 and the buffer is empty.
// progress (may be null): 30% of its range once the file is open, the rest by frames decoded;
// completed on success, failed on failure.
int DecodeWavInto(SoundBuffer& buffer, const std::filesystem::path& source, Progress* progress);

}  // namespace brindle

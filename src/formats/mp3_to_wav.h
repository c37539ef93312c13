// An MP3 converted to a 16-bit PCM WAV file with nothing in between: the file is cut into ranges as
// for a load (formats/mp3_frames.h), each range's decoder (one thread each) writes its samples at
// the place the frame index gives them in the WAV file, and the header goes in front once every
// range is there. The file is the one a load of the MP3 followed by a save as WAV writes, byte for
// byte, without the sample stores of the load or the pass that reads them back; it costs no
// temporary space beyond the new file itself.
//
// Like every save, the file is written beside the target and renamed over it only when complete
// (storage/replacing_file.h): a failure or a cancel leaves the target as it was and no partial file.
#pragma once

#include <filesystem>

namespace brindle {

class Progress;
struct Mp3FrameIndex;

enum class Mp3ToWav {
    Written,       // the target holds the WAV file
    NotPossible,   // nothing written or noted: the file is for a load and a save to convert
    SourceFailed,  // the MP3 could not be read (or shrank); reason noted, target untouched
    TargetFailed,  // the WAV file could not be written, or a cancel; reason noted, target untouched
};

// sourceFd: the MP3, open for reading; it is read with pread only, so its offset does not matter and
// does not change, and it stays open. index: IndexMp3Frames of that file as it is now. Files the index
// finds unsplittable, a sound of no frames and a sound whose WAV would need sizes of 4 GiB or more are
// NotPossible; so is a range that decodes to anything else than the index predicts (then the load,
// with one decoder, decides what the file gives). rangeCount: the ranges decoded at once; 0 follows
// the cores this process may use, with at least Mp3Decoder::kMinRangeSeconds of sound per range.
// progress (may be null) moves with the decoding, is asked for a cancel at every frame of the first
// range, and is completed on Written and failed on a failure; NotPossible leaves it as it is. Runs on
// the calling thread plus rangeCount - 1 threads of its own, all joined before it returns.
Mp3ToWav ConvertMp3ToWav(int sourceFd, const Mp3FrameIndex& index, const std::filesystem::path& target,
                         Progress* progress, unsigned rangeCount = 0);

}  // namespace brindle

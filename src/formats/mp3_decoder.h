// MP3 decoding through libmpg123, straight into a sound's sample stores: the import writes no file
// of its own beside them. Runs on the load task's worker thread; one Mp3Decoder must not be used by
// two threads at once.
//
// On a machine with several cores a file is decoded in as many ranges at once, one thread and one
// decoder each (formats/mp3_frames.h says which files can be split). The sound is the same, bit for
// bit, as one decoder's; a file that cannot be split, or a range that decodes to anything other than
// predicted, is decoded by one decoder from the start, which also makes every accept and reject
// decision, so a damaged file fares exactly as with one decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <sys/types.h>
#include <vector>

#include "formats/mp3_frames.h"

struct mpg123_handle_struct;

namespace brindle {

class Progress;
class SoundBuffer;
class SourceFile;

class Mp3Decoder {
public:
    Mp3Decoder();
    ~Mp3Decoder();
    Mp3Decoder(const Mp3Decoder&) = delete;
    Mp3Decoder& operator=(const Mp3Decoder&) = delete;

    // Opens the file for decoding; the path's bytes (UTF-8) reach the library unchanged. Only a
    // regular file opens (a FIFO or a device is refused without blocking). 1 when a handle is open
    // afterwards; on failure the decoder is left closed and the reason noted. The first open in the
    // process initialises the library once; if that failed, every open fails (it is not retried).
    int Open(const std::filesystem::path& mp3Path);
    // The same for the file opened at the door (read through a descriptor of the decoder's own).
    int Open(const SourceFile& source);
    // Idempotent.
    void Close();
    bool IsOpen() const { return handle_ != nullptr; }

    // Decodes the whole MP3 into buffer (replacing what it held): 16-bit PCM format in the library's
    // own rate and channel count, samples exactly as the library delivers them, converted to floats as
    // the WAV reader converts 16-bit PCM. The length is that of a full scan; the decode fails when the
    // samples delivered differ from it, when the library stops with an error before the end, or on
    // cancellation, and then the buffer is empty. The decoder is closed when this returns.
    // progress (may be null) is set in percent of the scanned length, then completed or failed; a
    // cancel is heard by every read of the MP3 file, the length scan's included. A file that shrinks
    // while it is decoded fails the decode. The reason of a failure is noted (tasks/failure.h).
    // Where the file may be split, reading its frames first takes the first 2 % of the progress range.
    // The file is read only through source's descriptor; the path overload opens it once itself.
    int DecodeInto(SoundBuffer& buffer, const SourceFile& source, Progress* progress);
    int DecodeInto(SoundBuffer& buffer, const std::filesystem::path& mp3Path, Progress* progress);
    // The frame index the last successful DecodeInto made of the file, when it made one (a decode on
    // one core, or of a file that does not open, makes none): the caller keeps it rather than read
    // the file again.
    std::optional<Mp3FrameIndex> TakeFrameIndex() { return std::exchange(index_, std::nullopt); }

    // How many ranges a decode may split a file into. 0, the default, follows the cores this process
    // may use, with at least kMinRangeSeconds of sound per range; 1 always decodes in one piece; any
    // other number is taken as it is, however short the sound (tests split short files).
    void SetRangeCount(unsigned count) { rangeCount_ = count; }
    // Where the ranges start, in audio frames (ascending, the first 0), instead of a split into parts
    // of equal bytes; empty for that split. For tests: every split point can be tried.
    void SetRangeStarts(std::vector<uint32_t> starts) { rangeStarts_ = std::move(starts); }
    // libmpg123's synthesis by its name ("generic"); empty, the default, for the library's choice.
    void SetSynthesis(std::string name) { synthesis_ = std::move(name); }
    // The ranges the last successful DecodeInto decoded at once: 1 when one decoder did it all.
    unsigned RangesUsed() const { return rangesUsed_; }

    static constexpr double kMinRangeSeconds = 3.0;

    // Initialises the library on the first call in the process (as the first Open does); false when
    // that failed, then and ever after.
    static bool IsLibraryReady();

private:
    struct HandleCloser {
        void operator()(mpg123_handle_struct* handle) const;
    };

    // The MP3 file as the library reads it: through our stream rather than its own read() calls,
    // which come a few hundred bytes at a time (over half a million system calls for an hour of
    // MP3), and with the progress whose cancel ends every read.
    struct Input;

    int Open(const SourceFile& source, Progress* progress);
    // Throws on failure; the boundary operations turn that into 0.
    void DecodeOrThrow(SoundBuffer& buffer, const SourceFile& source, Progress* progress);
    // The whole file with one decoder.
    void DecodeWholeOrThrow(SoundBuffer& buffer, const SourceFile& source, Progress* progress);
    // The reader and seeker handed to the library; input is an Input.
    static ssize_t ReadFromInput(void* input, void* buffer, size_t count);
    static off_t SeekInInput(void* input, off_t offset, int whence);

    std::unique_ptr<Input> input_;
    std::unique_ptr<mpg123_handle_struct, HandleCloser> handle_;
    unsigned rangeCount_ = 0;
    std::vector<uint32_t> rangeStarts_;
    std::string synthesis_;
    unsigned rangesUsed_ = 1;
    std::optional<Mp3FrameIndex> index_;
};

}  // namespace brindle

// MP3 decoding through libmpg123, straight into a sound's sample stores or into a 16-bit PCM WAV file.
//
// Both give the same samples: the stores hold what the WAV reader would read from the file, so an
// import writes only the stores and no file it then throws away. Runs on the load task's worker
// thread; one Mp3Decoder must not be used by two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <sys/types.h>

struct mpg123_handle_struct;

namespace brindle {

class Progress;
class SoundBuffer;
struct WaveFormat;

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
    // Idempotent.
    void Close();
    bool IsOpen() const { return handle_ != nullptr; }

    // Decodes the whole MP3 into a new WAV file at wavPath (replacing any file there): signed 16-bit
    // samples exactly as the library delivers them, in the library's own rate and channel count. The
    // header states the length of a full scan; the decode fails when the samples delivered differ
    // from it, when the library stops with an error before the end, or on cancellation. The decoder
    // is closed when this returns; a partial WAV file is left for the caller to delete.
    // progress (may be null) is set in percent of the scanned length, then completed or failed; a
    // cancel is heard by every read of the MP3 file, the length scan's included. A file that shrinks
    // while it is decoded fails the decode. The reason of a failure is noted (tasks/failure.h).
    int DecodeToWav(const std::filesystem::path& wavPath, const std::filesystem::path& mp3Path,
                    Progress* progress);
    // The same decode into buffer (replacing what it held): 16-bit PCM format, the scanned length in
    // frames, float samples as the WAV reader would make them of DecodeToWav's file. On failure the
    // buffer is empty.
    int DecodeInto(SoundBuffer& buffer, const std::filesystem::path& mp3Path, Progress* progress);

    // Where decoded frames go: Begin once the length is known, Write with the library's bytes
    // (interleaved signed 16-bit, little-endian), End after the last; each throws on failure.
    class Output {
    public:
        virtual ~Output() = default;
        virtual void Begin(const WaveFormat& format, uint32_t frames, uint32_t dataBytes) = 0;
        virtual void Write(const uint8_t* bytes, size_t count) = 0;
        virtual void End() = 0;
    };

private:
    struct HandleCloser {
        void operator()(mpg123_handle_struct* handle) const;
    };

    // The MP3 file as the library reads it: through our stream rather than its own read() calls,
    // which come a few hundred bytes at a time (over half a million system calls for an hour of
    // MP3), and with the progress whose cancel ends every read.
    struct Input;

    int Open(const std::filesystem::path& mp3Path, Progress* progress);
    // Throws on failure; the boundary operations turn that into 0.
    void DecodeOrThrow(Output& output, const std::filesystem::path& mp3Path, Progress* progress);
    // The reader and seeker handed to the library; input is an Input.
    static ssize_t ReadFromInput(void* input, void* buffer, size_t count);
    static off_t SeekInInput(void* input, off_t offset, int whence);

    std::unique_ptr<Input> input_;
    std::unique_ptr<mpg123_handle_struct, HandleCloser> handle_;
};

}  // namespace brindle

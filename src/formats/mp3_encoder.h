// MP3 export through the LAME encoder library, loaded at run time on the first save.
//
// Fixed settings: variable bit rate between 128 and 192 kbit/s (VBR quality 4), joint stereo for two
// channels and mono for one, the sound's own sample rate, bit reservoir off, and an info header at
// the start of the file so that decoders trim the encoder's delay and padding.
// Runs on the save task's worker thread; saves never overlap, so nothing here takes a lock. On a
// machine with several cores the sound is encoded in ranges on as many threads (mp3_range_encode.h).
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace brindle {

class LameAdapter;
class LameStream;
class MappedFileStream;
class Progress;
class SoundBuffer;
struct BE_CONFIG;

inline constexpr const char* kLameLibraryName = "libmp3lame.so.0";

class Mp3Encoder {
public:
    // The process-wide encoder: made on first use with DefaultLibraryCandidates(), and kept (loaded
    // or not) until the process ends -- a failed search is never retried.
    static Mp3Encoder& Instance();

    // The libraries the program tries, in order: kLameLibraryName in the folder of the running
    // executable (read from /proc/self/exe; left out when that cannot be read), then the bare name
    // through the system's library search.
    static std::vector<std::string> DefaultLibraryCandidates();
    // folder + "/" + kLameLibraryName, normalised (repeated and trailing separators, "." and "..").
    static std::string LibraryPathIn(const std::filesystem::path& folder);

    // Loads the first candidate (a path or a bare name) that loads and has the needed entry points.
    // useInfoTag false ignores the library's info-frame call, as with an older build of the library.
    explicit Mp3Encoder(const std::vector<std::string>& candidates, bool useInfoTag = true);
    ~Mp3Encoder();
    Mp3Encoder(const Mp3Encoder&) = delete;
    Mp3Encoder& operator=(const Mp3Encoder&) = delete;

    bool IsLoaded() const { return adapter_ != nullptr; }
    // The file the library was loaded from; empty when none was.
    std::string LibraryPath() const;
    // The loaded library, for the re-encoded seams of a lossless save; null when none loaded.
    LameAdapter* Adapter() const { return adapter_.get(); }

    // Writes buffer (with sound, compact) as an MP3 file at path, created new or replaced. 1 on
    // success; on failure 0 with the reason noted. Fails without touching the file when the library
    // is missing, the path is empty or the buffer has no sound or is not compact. A failed or
    // cancelled export leaves the partial file at path for the caller to remove. progress (may be
    // null) gets the percent of frames encoded, then Complete or Fail.
    int EncodeToMp3(const std::filesystem::path& path, SoundBuffer& buffer, Progress* progress);

    // How many ranges an export may split the sound into, each encoded by an encoder of its own on a
    // thread of its own, the file coming out byte for byte as one encoder's. 0, the default, follows
    // the cores this process may use, with at least kMinRangeSeconds of sound per range; 1 always
    // encodes in one piece; any other number is taken as it is, however short the sound (tests).
    // Settings the ranges cannot reproduce (a library without the info-frame call, resampling,
    // another encoder delay) encode in one piece.
    void SetRangeCount(unsigned count) { rangeCount_ = count; }
    // The ranges the last successful EncodeToMp3 encoded at once: 1 when one encoder did it all.
    unsigned RangesUsed() const { return rangesUsed_; }

    static constexpr double kMinRangeSeconds = 3.0;

private:
    void EncodeOrThrow(const std::filesystem::path& path, SoundBuffer& buffer, Progress* progress);
    // The whole sound with one encoder into output, which is open and empty.
    void EncodeWholeOrThrow(MappedFileStream& output, const BE_CONFIG& config, SoundBuffer& buffer,
                            Progress* progress, std::unique_ptr<LameStream>* stream);

    std::unique_ptr<LameAdapter> adapter_;
    std::string loadFailure_;  // why no library was loaded, the reason every save then fails with
    unsigned rangeCount_ = 0;
    unsigned rangesUsed_ = 1;
};

// EncodeToMp3 of the process-wide encoder.
int EncodeToMp3(const std::filesystem::path& path, SoundBuffer& buffer, Progress* progress);

}  // namespace brindle

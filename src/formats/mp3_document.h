// The MP3 side of the document: a sound buffer plus the descriptive tags of the last MP3 opened.
//
// An MP3 is decoded straight into the buffer's sample stores (no file on the way); a save encodes the
// buffer with the run-time-loaded encoder library and then writes the tags onto the new file.
// Load and save run on the load or save task's worker thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "formats/file_tags.h"
#include "formats/mp3_frames.h"
#include "storage/sound_buffer.h"

namespace brindle {

class Progress;
class SourceFile;
struct LosslessExtent;

class Mp3Document {
public:
    Mp3Document() = default;  // the tags start empty
    Mp3Document(const Mp3Document&) = delete;
    Mp3Document& operator=(const Mp3Document&) = delete;

    // Reads the tags of the file (their result does not matter, but a cancel stops it), then decodes
    // it into buffer over the whole progress range (decoding and import are one pass). 1 on success; on failure (a missing file, a file that is not an MP3, cancellation) the
    // buffer is empty.
    // The file is the one opened at the door: nothing here opens it again, and it stays open for a
    // later save that copies its frames. The path overload opens it itself.
    int LoadMp3(std::shared_ptr<const SourceFile> source, Progress* progress);
    int LoadMp3(const std::filesystem::path& path, Progress* progress);
    // Encodes buffer as an MP3 file at path; a sound that is not compact is first copied compactly
    // (20 % of the progress range) into a temporary buffer that is destroyed afterwards. On success
    // the tags (the record, the carried frames with the length they give made the sound's, and an
    // ID3v1 tag where the source had one) are written onto the file when there are any, and
    // a failure to write them fails the save. A failed or cancelled save leaves the partial file for
    // the caller to remove. The sound is not changed.
    //
    // When the sound is nothing but cuts of the MP3 last loaded, and that file is unchanged, the frames
    // are copied instead (formats/mp3_lossless.h), each only while its bytes are still those read at
    // load, and the new file is checked at its seams; anything that stands in the way, those checks
    // included, falls back to the encoding.
    int SaveMp3(const std::filesystem::path& path, Progress* progress);
    // Whether the last successful SaveMp3 copied the frames.
    bool LastSaveWasLossless() const { return lastSaveLossless_; }
    // How much of the sound the last successful SaveMp3 encoded anew beyond the seams of a copy
    // (LosslessExtent in formats/mp3_lossless.h), in whole percent of the sound's length rounded up,
    // so that any at all is at least 1: 0 when nothing but seams was new, 100 when the sound was
    // encoded whole. LosslessWhyNot() says why whenever it is not 0.
    uint32_t LastSaveReencodedPercent() const { return reencodedPercent_; }
    const std::string& LosslessWhyNot() const { return losslessWhyNot_; }

    // Positions of sound (this buffer's sound or the same moved elsewhere) at which a cut keeps every frame of the source copyable:
    // x with x % step == phase. None when the sound is not made of the loaded MP3's frames alone.
    struct FrameGrid {
        uint32_t step = 0;
        uint32_t phase = 0;
    };
    std::optional<FrameGrid> LosslessGrid(const SoundBuffer& sound) const;

    // Empties the buffer (its temporary files are deleted) and forgets the MP3 it came from; the tags
    // stay.
    void Reset();

    SoundBuffer buffer;
    FileTags tags;

private:
    struct Source;
    enum class Lossless { Written, NotPossible, Failed };
    void KeepSource(std::shared_ptr<const SourceFile> file, std::optional<Mp3FrameIndex> index);
    Lossless SaveLossless(const std::filesystem::path& path, Progress* progress, LosslessExtent& extent);

    std::shared_ptr<const Source> source_;
    // Why there is no source_ to copy from.
    std::string noSourceWhy_ = kNotAnMp3;
    bool lastSaveLossless_ = false;
    uint32_t reencodedPercent_ = 0;
    std::string losslessWhyNot_;

    static constexpr const char* kNotAnMp3 = "the sound was not opened from an MP3";
};

}  // namespace brindle

// The MP3 side of the document: a sound buffer plus the descriptive tags of the last MP3 opened.
//
// An MP3 is decoded straight into the buffer's sample stores (no file on the way); a save encodes the
// buffer with the run-time-loaded encoder library and then writes the tags onto the new file.
// Load and save run on the load or save task's worker thread.
#pragma once

#include <filesystem>

#include "formats/file_tags.h"
#include "storage/sound_buffer.h"

namespace brindle {

class Progress;

class Mp3Document {
public:
    Mp3Document() = default;  // the tags start empty
    Mp3Document(const Mp3Document&) = delete;
    Mp3Document& operator=(const Mp3Document&) = delete;

    // Reads the tags of the file (their result does not matter, but a cancel stops it), then decodes
    // it into buffer over the whole progress range (decoding and import are one pass). 1 on success; on failure (a missing file, a file that is not an MP3, cancellation) the
    // buffer is empty.
    int LoadMp3(const std::filesystem::path& path, Progress* progress);
    // Encodes buffer as an MP3 file at path; a sound that is not compact is first copied compactly
    // (20 % of the progress range) into a temporary buffer that is destroyed afterwards. On success
    // the tags (the record and the carried frames) are written onto the file when there are any, and
    // a failure to write them fails the save. A failed or cancelled save leaves the partial file for
    // the caller to remove. The sound is not changed.
    int SaveMp3(const std::filesystem::path& path, Progress* progress);
    // Empties the buffer (its temporary files are deleted); the tags stay.
    void Reset() { buffer.Clear(); }

    SoundBuffer buffer;
    FileTags tags;
};

}  // namespace brindle

// Descriptive tags of an MP3 file (title, artist, album, year, ...), or the Vorbis comments of a FLAC,
// Ogg Vorbis or Opus file, read when the file is opened and written when the sound is saved in one of
// these formats: the record's fields go across formats, what only one format holds is carried.
//
// Reading and writing go through TagLib: ID3v2 (any version) with ID3v1 read as a fallback, and an
// ID3v1 tag written again where the file read had one (players that read nothing else still find
// it). Strings are UTF-8. The record lives in the MP3 side of the document and is cleared only when that is
// created and at each ReadTags, so the tags of the last MP3 opened go onto a later MP3 save even
// after a WAV file was opened in between. Beside the record it keeps the ID3v2 frames that no field
// holds (a cover picture, the composer, user text frames, further comments, ...), so that a save
// loses nothing of the tag. The read's result does not change the outcome of the open; a failed
// write fails the save. Runs on the load or save task's worker thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brindle {

class Progress;
class SourceFile;

class FileTags {
public:
    // Clears the record, then fills it from the file. 1 on success (a file without tags included),
    // 0 when the file cannot be opened, is not a regular file, is not an MPEG file or the progress
    // was cancelled (the record is then empty); notes no failure reason, as the open goes on.
    // title and comment: the ID3v2 value, else the ID3v1 one; year: the first four digits of the
    // recording time ("%04u"), 0 when there are none; track number: the number before any "/";
    // rating: the first popularimeter frame's 0..255 mapped to 0..99, 0 when that is 100 or more.
    // Every other ID3v2 frame goes into carriedFrames: all but the text frames of the ten text
    // fields, the comment the record took (the first without a description, else the first) and the
    // first lyrics frame. The first popularimeter stays among them, for its e-mail and play count.
    // A cancel stops the read within one small block.
    int ReadTags(const SourceFile& source, Progress* progress = nullptr);
    // The same for the file at path, opened here.
    int ReadTags(const std::filesystem::path& path, Progress* progress = nullptr);
    // Makes the file's ID3v2 tag the record plus carriedFrames, replacing any ID3v2 tag it had: the
    // record's fields as new frames (empty strings and zero numbers write none), the carried frames
    // unchanged after them, except that the rating is written into the first popularimeter among
    // them when it names a different rating, and a length (TLEN) says lengthMs when that is given:
    // a length the sound no longer has would mislead players that trust it. Written as ID3v2.4
    // when the tag read was one, else as ID3v2.3. With id3v1, the file ends with that tag's fields
    // (replacing any ID3v1 tag it had). 1 on success; 0 with the reason noted when any write fails
    // or the progress was cancelled (the file is then damaged: it is the caller's to throw away).
    int WriteTags(const std::filesystem::path& path, Progress* progress = nullptr,
                  std::optional<uint64_t> lengthMs = std::nullopt) const;

    // The same for a FLAC, Ogg Vorbis or Opus file's Vorbis comments and pictures, told apart by their
    // first bytes. The record takes the first TITLE, ARTIST, ALBUM, DATE (its year), TRACKNUMBER,
    // GENRE, COMMENT (else DESCRIPTION), LYRICS, ALBUMARTIST and SUBTITLE; every other field, and
    // further values of those, go into carriedComments as "KEY=value", and a DATE that says more than
    // its year stays there whole. The pictures (FLAC picture blocks, in the file's blocks or in its
    // comments) go into pictures.
    int ReadXiphTags(const SourceFile& source, Progress* progress = nullptr);
    // Makes the Vorbis comments of the FLAC, Ogg Vorbis or Opus file at path the record plus
    // carriedComments, and its pictures pictures; with no pictures of its own, the pictures among
    // carriedFrames of an MP3 read before. 1, or 0 with the reason noted as WriteTags.
    int WriteXiphTags(const std::filesystem::path& path, Progress* progress = nullptr) const;

    void Clear();
    // True when no string is non-empty and year, track number and rating are zero (the carried
    // frames do not count).
    bool IsEmpty() const;
    // True when a save has anything to write: the record, carried frames or an ID3v1 tag.
    bool HasAnythingToWrite() const
    {
        return !IsEmpty() || !carriedFrames.empty() || !id3v1.empty() || !carriedComments.empty() || !pictures.empty();
    }

    std::string title;
    std::string comment;
    std::string artist;
    std::string album;
    uint32_t year = 0;
    uint32_t trackNumber = 0;
    std::string genre;
    std::string lyrics;
    std::string albumArtist;
    std::string subtitle;
    uint32_t rating = 0;  // 0..99; 1, 25, 50, 75, 99 are one to five stars
    int readResult = 0;   // 1 after a successful ReadTags, 0 after a failed one

    // The other frames of the ID3v2 tag read, each as TagLib renders it for ID3v2.4, header included
    // (a picture of several megabytes is fine here), and that tag's major version (0: none).
    std::vector<std::string> carriedFrames;
    uint8_t id3v2Version = 0;
    // The file's ID3v1 tag, its 128 bytes as TagLib renders what it read; empty when it had none.
    std::string id3v1;
    // From Vorbis comments: the fields the record does not hold, "KEY=value" in UTF-8, and the
    // pictures as FLAC picture blocks. An MP3 save writes these pictures as its own when carriedFrames
    // hold none.
    std::vector<std::string> carriedComments;
    std::vector<std::string> pictures;

    // The popularimeter byte (0..255) for a rating and back, with the steps common players use:
    // stars 1..5 are 1, 64, 128, 196, 255 in the frame.
    static uint8_t RatingToPopularimeter(uint32_t rating);
    static uint32_t PopularimeterToRating(uint32_t popularimeter);
};

}  // namespace brindle

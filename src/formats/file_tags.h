// Descriptive tags of an MP3 file (title, artist, album, year, ...), read when an MP3 is opened and
// written onto an MP3 when the sound is saved as MP3.
//
// Reading and writing go through TagLib: ID3v2 (any version) with ID3v1 read as a fallback. Strings
// are UTF-8. The record lives in the MP3 side of the document and is cleared only when that is
// created and at each ReadTags, so the tags of the last MP3 opened go onto a later MP3 save even
// after a WAV file was opened in between. Neither operation's result changes the outcome of the open
// or save that calls it. Runs on the load or save task's worker thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace brindle {

class FileTags {
public:
    // Clears the record, then fills it from the file. 1 on success (a file without tags included),
    // 0 when the file cannot be opened or is not an MPEG file (the record is then empty).
    // title and comment: the ID3v2 value, else the ID3v1 one; year: the first four digits of the
    // recording time ("%04u"), 0 when there are none; track number: the number before any "/";
    // rating: the first popularimeter frame's 0..255 mapped to 0..99, 0 when that is 100 or more.
    int ReadTags(const std::filesystem::path& path);
    // Writes the record onto the file as an ID3v2.3 tag in three passes (the title and comment; the
    // ten text fields; the rating), each on a fresh open of the file. Empty strings and zero numbers
    // remove their frame. A pass whose one save fails writes its fields one at a time and fails only
    // when none could be written. 1 on success.
    int WriteTags(const std::filesystem::path& path) const;

    void Clear();
    // True when any string is non-empty or year, track number or rating is non-zero.
    bool IsEmpty() const;

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

    // The popularimeter byte (0..255) for a rating and back, with the steps common players use:
    // stars 1..5 are 1, 64, 128, 196, 255 in the frame.
    static uint8_t RatingToPopularimeter(uint32_t rating);
    static uint32_t PopularimeterToRating(uint32_t popularimeter);
};

}  // namespace brindle

#include "formats/file_tags.h"

#include <taglib/commentsframe.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/popularimeterframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/unsynchronizedlyricsframe.h>

#include <cstdio>
#include <functional>
#include <vector>

namespace brindle {
namespace {

constexpr const char* kError = "err";

// TagLib's char* constructor takes Latin-1; everything here is UTF-8.
TagLib::String FromUtf8(const std::string& text) { return TagLib::String(text, TagLib::String::UTF8); }

std::string ToUtf8(const TagLib::String& text) { return text.to8Bit(true); }

std::string FirstFrameText(TagLib::ID3v2::Tag* tag, const char* id)
{
    if (!tag)
        return {};
    const TagLib::ID3v2::FrameList& frames = tag->frameListMap()[id];
    return frames.isEmpty() ? std::string() : ToUtf8(frames.front()->toString());
}

// "%04u": at most four leading digits; 0 when there are none.
uint32_t ParseYear(const std::string& text)
{
    unsigned year = 0;
    if (std::sscanf(text.c_str(), "%04u", &year) != 1)
        return 0;
    return year;
}

uint32_t ParseTrack(const std::string& text)
{
    unsigned track = 0;
    if (std::sscanf(text.c_str(), "%u", &track) != 1)
        return 0;
    return track;
}

// A fresh open of the file for reading and writing, as every writing pass starts from the file as
// the previous pass left it.
struct WritableFile {
    explicit WritableFile(const std::filesystem::path& path) : file(path.c_str(), false) {}
    bool IsUsable() { return file.isValid() && !file.readOnly(); }
    TagLib::ID3v2::Tag* Tag() { return file.ID3v2Tag(true); }
    bool Save()
    {
        return file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v3,
                         TagLib::File::DoNotDuplicate);
    }
    TagLib::MPEG::File file;
};

void SetTextFrame(TagLib::ID3v2::Tag* tag, const char* id, const std::string& value)
{
    tag->removeFrames(id);
    if (value.empty())
        return;
    auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, TagLib::String::UTF16);
    frame->setText(FromUtf8(value));
    tag->addFrame(frame);  // the tag owns it
}

void SetComment(TagLib::ID3v2::Tag* tag, const std::string& value)
{
    // Only the plain comment (empty description); frames such as iTunNORM keep their own.
    const TagLib::ID3v2::FrameList frames = tag->frameListMap()["COMM"];
    for (TagLib::ID3v2::Frame* frame : frames) {
        auto* comment = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame);
        if (comment && comment->description().isEmpty())
            tag->removeFrame(frame);
    }
    if (value.empty())
        return;
    auto* frame = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF16);
    frame->setLanguage("eng");
    frame->setText(FromUtf8(value));
    tag->addFrame(frame);
}

void SetLyrics(TagLib::ID3v2::Tag* tag, const std::string& value)
{
    tag->removeFrames("USLT");
    if (value.empty())
        return;
    auto* frame = new TagLib::ID3v2::UnsynchronizedLyricsFrame(TagLib::String::UTF16);
    frame->setLanguage("eng");
    frame->setText(FromUtf8(value));
    tag->addFrame(frame);
}

void SetRating(TagLib::ID3v2::Tag* tag, uint32_t rating)
{
    tag->removeFrames("POPM");
    if (rating == 0)
        return;
    auto* frame = new TagLib::ID3v2::PopularimeterFrame();
    frame->setRating(FileTags::RatingToPopularimeter(rating));
    tag->addFrame(frame);
}

void SetNumber(TagLib::ID3v2::Tag* tag, const char* id, uint32_t value)
{
    SetTextFrame(tag, id, value == 0 ? std::string() : std::to_string(value));
}

using FieldWriter = std::function<void(TagLib::ID3v2::Tag*)>;

// One pass: all fields in one save; if that fails and there are at least two, one save per field.
void WritePass(const std::filesystem::path& path, const std::vector<FieldWriter>& fields)
{
    {
        WritableFile file(path);
        if (!file.IsUsable())
            throw kError;
        TagLib::ID3v2::Tag* tag = file.Tag();
        for (const FieldWriter& write : fields)
            write(tag);
        if (file.Save())
            return;
    }
    if (fields.size() < 2)
        throw kError;
    int written = 0;
    for (const FieldWriter& write : fields) {
        WritableFile file(path);
        if (!file.IsUsable())
            continue;
        write(file.Tag());
        written += file.Save() ? 1 : 0;
    }
    if (written == 0)
        throw kError;
}

}  // namespace

uint8_t FileTags::RatingToPopularimeter(uint32_t rating)
{
    if (rating == 0)
        return 0;
    if (rating < 13)
        return 1;
    if (rating < 38)
        return 64;
    if (rating < 63)
        return 128;
    if (rating < 87)
        return 196;
    return 255;
}

uint32_t FileTags::PopularimeterToRating(uint32_t popularimeter)
{
    if (popularimeter == 0)
        return 0;
    if (popularimeter < 32)
        return 1;
    if (popularimeter < 96)
        return 25;
    if (popularimeter < 160)
        return 50;
    if (popularimeter < 224)
        return 75;
    return 99;
}

void FileTags::Clear()
{
    title.clear();
    comment.clear();
    artist.clear();
    album.clear();
    year = 0;
    trackNumber = 0;
    genre.clear();
    lyrics.clear();
    albumArtist.clear();
    subtitle.clear();
    rating = 0;
    readResult = 0;
}

bool FileTags::IsEmpty() const
{
    return title.empty() && comment.empty() && artist.empty() && album.empty() && genre.empty() && lyrics.empty() &&
           albumArtist.empty() && subtitle.empty() && year == 0 && trackNumber == 0 && rating == 0;
}

int FileTags::ReadTags(const std::filesystem::path& path)
{
    Clear();
    try {
        if (path.empty())
            throw kError;
        TagLib::MPEG::File file(path.c_str(), false);
        if (!file.isValid())
            throw kError;
        TagLib::ID3v2::Tag* v2 = file.hasID3v2Tag() ? file.ID3v2Tag() : nullptr;
        TagLib::ID3v1::Tag* v1 = file.hasID3v1Tag() ? file.ID3v1Tag() : nullptr;
        // ID3v2 first, ID3v1 for what the newer tag leaves empty.
        auto pick = [&](auto getter) {
            std::string value = v2 ? ToUtf8((v2->*getter)()) : std::string();
            if (value.empty() && v1)
                value = ToUtf8((v1->*getter)());
            return value;
        };
        title = pick(&TagLib::Tag::title);
        comment = pick(&TagLib::Tag::comment);
        artist = pick(&TagLib::Tag::artist);
        album = pick(&TagLib::Tag::album);
        genre = pick(&TagLib::Tag::genre);

        year = ParseYear(FirstFrameText(v2, "TDRC"));
        if (year == 0)
            year = ParseYear(FirstFrameText(v2, "TYER"));
        if (year == 0 && v1)
            year = v1->year();
        trackNumber = ParseTrack(FirstFrameText(v2, "TRCK"));
        if (trackNumber == 0 && v1)
            trackNumber = v1->track();

        albumArtist = FirstFrameText(v2, "TPE2");
        subtitle = FirstFrameText(v2, "TIT3");
        if (v2) {
            const TagLib::ID3v2::FrameList& lyricsFrames = v2->frameListMap()["USLT"];
            if (!lyricsFrames.isEmpty()) {
                if (auto* frame = dynamic_cast<TagLib::ID3v2::UnsynchronizedLyricsFrame*>(lyricsFrames.front()))
                    lyrics = ToUtf8(frame->text());
            }
            const TagLib::ID3v2::FrameList& ratingFrames = v2->frameListMap()["POPM"];
            if (!ratingFrames.isEmpty()) {
                if (auto* frame = dynamic_cast<TagLib::ID3v2::PopularimeterFrame*>(ratingFrames.front())) {
                    const uint32_t value = PopularimeterToRating(uint32_t(frame->rating()));
                    rating = value < 100 ? value : 0;
                }
            }
        }
    } catch (...) {
        Clear();
        return 0;
    }
    readResult = 1;
    return 1;
}

int FileTags::WriteTags(const std::filesystem::path& path) const
{
    try {
        if (path.empty())
            throw kError;
        WritePass(path, {
                            [this](TagLib::ID3v2::Tag* tag) { SetTextFrame(tag, "TIT2", title); },
                            [this](TagLib::ID3v2::Tag* tag) { SetComment(tag, comment); },
                        });
        WritePass(path, {
                            [this](TagLib::ID3v2::Tag* tag) { SetTextFrame(tag, "TPE1", artist); },
                            [this](TagLib::ID3v2::Tag* tag) { SetTextFrame(tag, "TIT2", title); },
                            [this](TagLib::ID3v2::Tag* tag) { SetTextFrame(tag, "TALB", album); },
                            // ID3v2.3 keeps the year in TYER; TagLib converts TDRC when saving.
                            [this](TagLib::ID3v2::Tag* tag) { SetNumber(tag, "TDRC", year); },
                            [this](TagLib::ID3v2::Tag* tag) { SetComment(tag, comment); },
                            [this](TagLib::ID3v2::Tag* tag) { SetNumber(tag, "TRCK", trackNumber); },
                            [this](TagLib::ID3v2::Tag* tag) { SetTextFrame(tag, "TCON", genre); },
                            [this](TagLib::ID3v2::Tag* tag) { SetLyrics(tag, lyrics); },
                            [this](TagLib::ID3v2::Tag* tag) { SetTextFrame(tag, "TPE2", albumArtist); },
                            [this](TagLib::ID3v2::Tag* tag) { SetTextFrame(tag, "TIT3", subtitle); },
                        });
        WritePass(path, {[this](TagLib::ID3v2::Tag* tag) { SetRating(tag, rating); }});
    } catch (...) {
        return 0;
    }
    return 1;
}

}  // namespace brindle

#include "formats/file_tags.h"

#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2synchdata.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/oggflacfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>
#include <taglib/popularimeterframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/unsynchronizedlyricsframe.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "formats/tag_file_stream.h"
#include "storage/source_file.h"
#include "tasks/failure.h"

namespace brindle {
namespace {

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

// The text frames each of which is wholly one field of the record (TYER only in tags TagLib did not
// convert to its ID3v2.4 form).
bool IsFieldFrame(const TagLib::ByteVector& id)
{
    for (const char* field : {"TIT2", "TPE1", "TALB", "TDRC", "TYER", "TRCK", "TCON", "TPE2", "TIT3"}) {
        if (id == field)
            return true;
    }
    return false;
}

// The comment the record holds: the first without a description (not, say, iTunNORM), else the first.
TagLib::ID3v2::CommentsFrame* RecordComment(TagLib::ID3v2::Tag* tag)
{
    TagLib::ID3v2::CommentsFrame* first = nullptr;
    for (TagLib::ID3v2::Frame* frame : tag->frameListMap()["COMM"]) {
        auto* comment = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame);
        if (!comment)
            continue;
        if (comment->description().isEmpty())
            return comment;
        if (!first)
            first = comment;
    }
    return first;
}

// The frames of a tag TagLib rendered as ID3v2.4 (no extended header, no footer, blank frame flags):
// each one's header and data, up to the padding.
std::vector<std::string> SplitFrames(const TagLib::ByteVector& tag)
{
    std::vector<std::string> frames;
    const unsigned frameHeader = TagLib::ID3v2::Frame::headerSize(4);
    unsigned position = TagLib::ID3v2::Header::size();
    while (position + frameHeader <= tag.size() && tag[position] != 0) {
        const unsigned size = TagLib::ID3v2::SynchData::toUInt(tag.mid(position + 4, 4));
        if (size > tag.size() - position - frameHeader)
            break;
        frames.emplace_back(tag.data() + position, frameHeader + size);
        position += frameHeader + size;
    }
    return frames;
}

// The tag's frames, to remove some while walking them. Not a FrameList: a copy of the tag's own list
// shares its data, and with it the duty to delete every frame.
std::vector<TagLib::ID3v2::Frame*> FramesOf(TagLib::ID3v2::Tag* tag)
{
    return {tag->frameList().begin(), tag->frameList().end()};
}

template <class FrameType>
FrameType* FirstFrameAs(TagLib::ID3v2::Tag* tag, const char* id)
{
    const TagLib::ID3v2::FrameList& frames = tag->frameListMap()[id];
    return frames.isEmpty() ? nullptr : dynamic_cast<FrameType*>(frames.front());
}

void AddTextFrame(TagLib::ID3v2::Tag* tag, const char* id, const std::string& value)
{
    if (value.empty())
        return;
    auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, TagLib::String::UTF16);
    frame->setText(FromUtf8(value));
    tag->addFrame(frame);  // the tag owns it
}

void AddNumber(TagLib::ID3v2::Tag* tag, const char* id, uint32_t value)
{
    AddTextFrame(tag, id, value == 0 ? std::string() : std::to_string(value));
}

void AddComment(TagLib::ID3v2::Tag* tag, const std::string& value)
{
    if (value.empty())
        return;
    auto* frame = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF16);
    frame->setLanguage("eng");
    frame->setText(FromUtf8(value));
    tag->addFrame(frame);
}

void AddLyrics(TagLib::ID3v2::Tag* tag, const std::string& value)
{
    if (value.empty())
        return;
    auto* frame = new TagLib::ID3v2::UnsynchronizedLyricsFrame(TagLib::String::UTF16);
    frame->setLanguage("eng");
    frame->setText(FromUtf8(value));
    tag->addFrame(frame);
}

// An ID3v1 tag from the bytes kept at the read: TagLib parses one only from a file, or for a subclass.
class KeptId3v1 final : public TagLib::ID3v1::Tag {
public:
    explicit KeptId3v1(const std::string& bytes) { parse(TagLib::ByteVector(bytes.data(), unsigned(bytes.size()))); }
};


// The ID3v2 frames a read kept, as TagLib's frames again (the caller owns them).
std::vector<std::unique_ptr<TagLib::ID3v2::Frame>> ParseCarried(const std::vector<std::string>& carried)
{
    std::vector<std::unique_ptr<TagLib::ID3v2::Frame>> frames;
    const TagLib::ID3v2::FrameFactory* factory = TagLib::ID3v2::FrameFactory::instance();
    TagLib::ID3v2::Header header;
    header.setMajorVersion(4);
    for (const std::string& bytes : carried) {
        TagLib::ID3v2::Frame* frame = factory->createFrame(TagLib::ByteVector(bytes.data(), unsigned(bytes.size())), &header);
        if (frame)
            frames.emplace_back(frame);
    }
    return frames;
}

// The two forms of a cover picture: an MP3's attached picture frame and a FLAC picture block.
std::string PictureBlock(const TagLib::ID3v2::AttachedPictureFrame& frame)
{
    TagLib::FLAC::Picture picture;
    picture.setType(TagLib::FLAC::Picture::Type(frame.type()));
    picture.setMimeType(frame.mimeType());
    picture.setDescription(frame.description());
    picture.setData(frame.picture());
    const TagLib::ByteVector bytes = picture.render();
    return {bytes.data(), bytes.size()};
}

TagLib::ID3v2::AttachedPictureFrame* PictureFrame(const std::string& block)
{
    const TagLib::FLAC::Picture picture(TagLib::ByteVector(block.data(), unsigned(block.size())));
    auto* frame = new TagLib::ID3v2::AttachedPictureFrame();
    frame->setTextEncoding(TagLib::String::UTF16);
    frame->setType(TagLib::ID3v2::AttachedPictureFrame::Type(picture.type()));
    frame->setMimeType(picture.mimeType());
    frame->setDescription(picture.description());
    frame->setPicture(picture.data());
    return frame;
}

// A FLAC, Ogg Vorbis, Ogg FLAC or Opus file, told apart by its first page or marker (not by its
// name: an .ogg may hold any of them), with its comment block and, for FLAC, its picture blocks.
struct XiphFile {
    std::unique_ptr<TagLib::File> file;
    TagLib::Ogg::XiphComment* comment = nullptr;
    TagLib::FLAC::File* flac = nullptr;
};

XiphFile OpenXiph(TagFileStream& stream)
{
    stream.seek(0);
    const TagLib::ByteVector head = stream.readBlock(128);
    stream.seek(0);
    stream.ThrowIfFailed();
    XiphFile opened;
    if (head.startsWith("fLaC") || head.startsWith("ID3")) {
        auto* flac = new TagLib::FLAC::File(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        opened.file.reset(flac);
        opened.flac = flac;
        if (flac->isValid())
            opened.comment = flac->xiphComment(true);
    } else if (head.startsWith("OggS") && head.size() > 27) {
        // The first packet follows the page header and its segment table.
        const TagLib::ByteVector packet = head.mid(27 + static_cast<unsigned char>(head[26]), 8);
        if (packet.startsWith(TagLib::ByteVector("\x01vorbis", 7))) {
            auto* file = new TagLib::Ogg::Vorbis::File(&stream, false);
            opened.file.reset(file);
            opened.comment = file->isValid() ? file->tag() : nullptr;
        } else if (packet.startsWith("OpusHead")) {
            auto* file = new TagLib::Ogg::Opus::File(&stream, false);
            opened.file.reset(file);
            opened.comment = file->isValid() ? file->tag() : nullptr;
        } else if (packet.startsWith(TagLib::ByteVector("\x7f" "FLAC", 5))) {
            auto* file = new TagLib::Ogg::FLAC::File(&stream, false);
            opened.file.reset(file);
            opened.comment = file->isValid() ? file->tag() : nullptr;
        }
    }
    stream.ThrowIfFailed();
    if (!opened.file || !opened.file->isValid() || !opened.comment)
        ThrowFormat("not a FLAC, Ogg Vorbis or Opus file");
    return opened;
}

// The record's fields as Vorbis comments name them, in the order a save writes them.
struct XiphField {
    const char* key;
    std::string FileTags::*text;
};
constexpr XiphField kXiphTextFields[] = {
    {"TITLE", &FileTags::title},     {"ARTIST", &FileTags::artist},           {"ALBUM", &FileTags::album},
    {"GENRE", &FileTags::genre},     {"COMMENT", &FileTags::comment},         {"LYRICS", &FileTags::lyrics},
    {"ALBUMARTIST", &FileTags::albumArtist}, {"SUBTITLE", &FileTags::subtitle},
};

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
    carriedFrames.clear();
    id3v2Version = 0;
    id3v1.clear();
    carriedComments.clear();
    pictures.clear();
}

bool FileTags::IsEmpty() const
{
    return title.empty() && comment.empty() && artist.empty() && album.empty() && genre.empty() && lyrics.empty() &&
           albumArtist.empty() && subtitle.empty() && year == 0 && trackNumber == 0 && rating == 0;
}

int FileTags::ReadTags(const std::filesystem::path& path, Progress* progress)
{
    Clear();
    SourceFile source;
    if (path.empty() || !source.Open(path))
        return 0;
    return ReadTags(source, progress);
}

int FileTags::ReadTags(const SourceFile& source, Progress* progress)
{
    Clear();
    try {
        TagFileStream stream;
        stream.Open(source, progress);
        TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        stream.ThrowIfFailed();
        if (!file.isValid())
            ThrowFormat("not an MPEG file");
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
        artist = pick(&TagLib::Tag::artist);
        album = pick(&TagLib::Tag::album);
        genre = pick(&TagLib::Tag::genre);

        TagLib::ID3v2::CommentsFrame* commentFrame = v2 ? RecordComment(v2) : nullptr;
        if (commentFrame)
            comment = ToUtf8(commentFrame->toString());
        if (comment.empty() && v1)
            comment = ToUtf8(v1->comment());

        year = ParseYear(FirstFrameText(v2, "TDRC"));
        if (year == 0)
            year = ParseYear(FirstFrameText(v2, "TYER"));
        if (year == 0 && v1)
            year = v1->year();
        trackNumber = ParseTrack(FirstFrameText(v2, "TRCK"));
        if (trackNumber == 0 && v1)
            trackNumber = v1->track();
        if (v1) {
            const TagLib::ByteVector bytes = v1->render();
            id3v1.assign(bytes.data(), bytes.size());
        }

        albumArtist = FirstFrameText(v2, "TPE2");
        subtitle = FirstFrameText(v2, "TIT3");
        if (v2) {
            auto* lyricsFrame = FirstFrameAs<TagLib::ID3v2::UnsynchronizedLyricsFrame>(v2, "USLT");
            if (lyricsFrame)
                lyrics = ToUtf8(lyricsFrame->text());
            if (auto* frame = FirstFrameAs<TagLib::ID3v2::PopularimeterFrame>(v2, "POPM")) {
                const uint32_t value = PopularimeterToRating(uint32_t(frame->rating()));
                rating = value < 100 ? value : 0;
            }

            id3v2Version = uint8_t(v2->header()->majorVersion());
            for (TagLib::ID3v2::Frame* frame : FramesOf(v2)) {
                if (IsFieldFrame(frame->frameID()) || frame == commentFrame || frame == lyricsFrame)
                    v2->removeFrame(frame, true);
            }
            // What is left, in the form TagLib writes it: what it cannot write back (frames of older
            // versions it does not convert, empty ones) is dropped here as it would be there.
            carriedFrames = SplitFrames(v2->render(TagLib::ID3v2::v4));
        }
    } catch (...) {
        // The open goes on without tags; its own failure, if any, is the reason worth reporting.
        Clear();
        return 0;
    }
    readResult = 1;
    return 1;
}

int FileTags::WriteTags(const std::filesystem::path& path, Progress* progress, std::optional<uint64_t> lengthMs) const
{
    return Guarded([&] {
        if (path.empty())
            ThrowFormat("no file name");
        TagFileStream stream;
        stream.Open(path, true, progress);
        TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        stream.ThrowIfFailed();
        if (!file.isValid())
            ThrowFormat("not an MPEG file");

        // Whatever tag the file had goes: on a file tagged before, its frames and the carried ones
        // would otherwise stand side by side.
        TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
        for (TagLib::ID3v2::Frame* frame : FramesOf(tag))
            tag->removeFrame(frame, true);

        AddTextFrame(tag, "TIT2", title);
        AddComment(tag, comment);
        AddTextFrame(tag, "TPE1", artist);
        AddTextFrame(tag, "TALB", album);
        // ID3v2.3 keeps the year in TYER; TagLib converts TDRC when saving.
        AddNumber(tag, "TDRC", year);
        AddNumber(tag, "TRCK", trackNumber);
        AddTextFrame(tag, "TCON", genre);
        AddLyrics(tag, lyrics);
        AddTextFrame(tag, "TPE2", albumArtist);
        AddTextFrame(tag, "TIT3", subtitle);

        const TagLib::ID3v2::FrameFactory* factory = TagLib::ID3v2::FrameFactory::instance();
        TagLib::ID3v2::Header carriedHeader;
        carriedHeader.setMajorVersion(4);
        bool ratingWritten = false;
        for (const std::string& bytes : carriedFrames) {
            const TagLib::ByteVector data(bytes.data(), unsigned(bytes.size()));
            TagLib::ID3v2::Frame* frame = factory->createFrame(data, &carriedHeader);
            if (!frame)
                continue;  // cannot happen for what TagLib rendered itself; nothing to write then
            if (lengthMs && frame->frameID() == "TLEN")
                frame->setText(TagLib::String(std::to_string(*lengthMs)));
            auto* popularimeter = dynamic_cast<TagLib::ID3v2::PopularimeterFrame*>(frame);
            if (popularimeter && !ratingWritten) {
                // The frame the rating was read from: its byte stays unless the rating changed.
                if (PopularimeterToRating(uint32_t(popularimeter->rating())) != rating)
                    popularimeter->setRating(int(RatingToPopularimeter(rating)));
                ratingWritten = true;
            }
            tag->addFrame(frame);
        }
        if (!pictures.empty() && tag->frameListMap()["APIC"].isEmpty()) {
            for (const std::string& block : pictures)
                tag->addFrame(PictureFrame(block));
        }
        if (!ratingWritten && rating != 0) {
            auto* frame = new TagLib::ID3v2::PopularimeterFrame();
            frame->setRating(RatingToPopularimeter(rating));
            tag->addFrame(frame);
        }

        int tags = TagLib::MPEG::File::ID3v2;
        if (!id3v1.empty()) {
            const KeptId3v1 kept(id3v1);
            TagLib::ID3v1::Tag* v1 = file.ID3v1Tag(true);
            v1->setTitle(kept.title());
            v1->setArtist(kept.artist());
            v1->setAlbum(kept.album());
            v1->setComment(kept.comment());
            v1->setYear(kept.year());
            v1->setTrack(kept.track());
            v1->setGenreNumber(kept.genreNumber());
            tags |= TagLib::MPEG::File::ID3v1;
        }
        const bool saved = file.save(tags, TagLib::File::StripNone,
                                     id3v2Version == 4 ? TagLib::ID3v2::v4 : TagLib::ID3v2::v3,
                                     TagLib::File::DoNotDuplicate);
        // TagLib reports neither a failed write nor a cancel: the stream knows.
        stream.ThrowIfFailed();
        if (!saved)
            ThrowFormat("cannot write the tags");
        return true;
    });
}

int FileTags::ReadXiphTags(const SourceFile& source, Progress* progress)
{
    Clear();
    try {
        TagFileStream stream;
        stream.Open(source, progress);
        XiphFile file = OpenXiph(stream);
        std::string date;
        for (const auto& [key, values] : file.comment->fieldListMap()) {
            const std::string name = ToUtf8(key);
            for (const TagLib::String& value : values) {
                const std::string text = ToUtf8(value);
                std::string* field = nullptr;
                for (const XiphField& known : kXiphTextFields) {
                    if (name == known.key && (this->*known.text).empty())
                        field = &(this->*known.text);
                }
                if (field && !text.empty()) {
                    *field = text;
                } else if (name == "DATE" && year == 0 && ParseYear(text) != 0) {
                    year = ParseYear(text);
                    // Only the year has a place in the record; a full date goes on as it was.
                    if (text != std::to_string(year))
                        carriedComments.push_back(name + "=" + text);
                } else if (name == "TRACKNUMBER" && trackNumber == 0 && ParseTrack(text) != 0) {
                    trackNumber = ParseTrack(text);
                } else if (name != "METADATA_BLOCK_PICTURE") {
                    carriedComments.push_back(name + "=" + text);
                }
            }
        }
        // DESCRIPTION is what some writers put in place of COMMENT.
        if (comment.empty()) {
            for (auto it = carriedComments.begin(); it != carriedComments.end(); ++it) {
                if (it->rfind("DESCRIPTION=", 0) == 0) {
                    comment = it->substr(12);
                    carriedComments.erase(it);
                    break;
                }
            }
        }
        TagLib::List<TagLib::FLAC::Picture*> found = file.comment->pictureList();
        if (file.flac)
            found.append(file.flac->pictureList());
        for (TagLib::FLAC::Picture* picture : found) {
            const TagLib::ByteVector bytes = picture->render();
            pictures.emplace_back(bytes.data(), bytes.size());
        }
        stream.ThrowIfFailed();
    } catch (...) {
        Clear();
        return 0;
    }
    readResult = 1;
    return 1;
}

int FileTags::WriteXiphTags(const std::filesystem::path& path, Progress* progress) const
{
    return Guarded([&] {
        if (path.empty())
            ThrowFormat("no file name");
        TagFileStream stream;
        stream.Open(path, true, progress);
        XiphFile file = OpenXiph(stream);
        TagLib::Ogg::XiphComment* tag = file.comment;
        tag->removeAllFields();
        tag->removeAllPictures();
        for (const XiphField& field : kXiphTextFields) {
            if (!(this->*field.text).empty())
                tag->addField(field.key, FromUtf8(this->*field.text), false);
        }
        bool dateCarried = false;
        for (const std::string& field : carriedComments)
            dateCarried = dateCarried || (field.rfind("DATE=", 0) == 0 && ParseYear(field.substr(5)) == year);
        if (year != 0 && !dateCarried)
            tag->addField("DATE", TagLib::String(std::to_string(year)), false);
        if (trackNumber != 0)
            tag->addField("TRACKNUMBER", TagLib::String(std::to_string(trackNumber)), false);
        for (const std::string& field : carriedComments) {
            const size_t equals = field.find('=');
            if (equals != std::string::npos && equals > 0)
                tag->addField(FromUtf8(field.substr(0, equals)), FromUtf8(field.substr(equals + 1)), false);
        }

        std::vector<std::string> blocks = pictures;
        if (blocks.empty()) {
            for (const auto& frame : ParseCarried(carriedFrames)) {
                if (const auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame.get()))
                    blocks.push_back(PictureBlock(*picture));
            }
        }
        if (file.flac)
            file.flac->removePictures();
        for (const std::string& block : blocks) {
            auto* picture = new TagLib::FLAC::Picture(TagLib::ByteVector(block.data(), unsigned(block.size())));
            // A FLAC file keeps its pictures in blocks of their own, an Ogg file in its comments.
            if (file.flac)
                file.flac->addPicture(picture);
            else
                tag->addPicture(picture);
        }
        const bool saved = file.file->save();
        stream.ThrowIfFailed();
        if (!saved)
            ThrowFormat("cannot write the tags");
        return true;
    });
}

}  // namespace brindle

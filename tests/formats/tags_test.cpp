// Descriptive tags: read from ID3v2.3 and ID3v2.4 files made by ffmpeg at test time, carried onto a
// saved MP3, and checked there with ffprobe and a fresh read.
#include <gtest/gtest.h>

#include <fstream>

#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/popularimeterframe.h>
#include <taglib/unsynchronizedlyricsframe.h>

#include "formats/file_tags.h"
#include "formats/mp3_document.h"
#include "formats/mp3_test_support.h"
#include "formats/wav_file.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;

FileTags SampleTags()
{
    FileTags tags;
    tags.title = "Полёт — title";
    tags.comment = "A comment, ü";
    tags.artist = "Исполнитель";
    tags.album = "Album ✓";
    tags.year = 1999;
    tags.trackNumber = 7;
    tags.genre = "Electronic";
    tags.lyrics = "Line one\nСтрока два";
    tags.albumArtist = "Album Artist";
    tags.subtitle = "Subtitle";
    tags.rating = 75;
    return tags;
}

void ExpectSameTags(const FileTags& got, const FileTags& expected)
{
    EXPECT_EQ(got.title, expected.title);
    EXPECT_EQ(got.comment, expected.comment);
    EXPECT_EQ(got.artist, expected.artist);
    EXPECT_EQ(got.album, expected.album);
    EXPECT_EQ(got.year, expected.year);
    EXPECT_EQ(got.trackNumber, expected.trackNumber);
    EXPECT_EQ(got.genre, expected.genre);
    EXPECT_EQ(got.lyrics, expected.lyrics);
    EXPECT_EQ(got.albumArtist, expected.albumArtist);
    EXPECT_EQ(got.subtitle, expected.subtitle);
    EXPECT_EQ(got.rating, expected.rating);
}

class TagsTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!HasTool("ffmpeg") || !HasTool("ffprobe") || !HasTool("lame") || !HasTool("sox"))
            GTEST_SKIP() << "needs ffmpeg, ffprobe, lame and sox";
    }

    fs::path MakeUntaggedMp3(const std::string& name)
    {
        const fs::path wav = PathOf(name + ".wav");
        const fs::path mp3 = PathOf(name);
        EXPECT_EQ(RunCommand("sox -D -n -r 44100 -c 2 -b 16 " + Quoted(wav) + " synth 1 sine 440 2>/dev/null"), 0);
        EXPECT_EQ(RunCommand("lame --quiet -V 4 " + Quoted(wav) + " " + Quoted(mp3)), 0);
        fs::remove(wav);
        return mp3;
    }

    // The ten text fields by ffmpeg (its own ID3v2 writer, version 3 or 4); the rating by TagLib,
    // as ffmpeg cannot write a popularimeter frame.
    fs::path MakeTaggedMp3(const std::string& name, int id3Version, const FileTags& tags)
    {
        const fs::path plain = MakeUntaggedMp3("plain-" + name);
        const fs::path tagged = PathOf(name);
        const fs::path lyricsFile = PathOf("meta.txt");
        // ffmpeg reads the metadata from an ffmetadata file, so newlines and quotes need no shell escaping.
        std::ofstream meta(lyricsFile);
        auto escape = [](const std::string& text) {
            std::string out;
            for (char c : text) {
                if (c == '=' || c == ';' || c == '#' || c == '\\' || c == '\n')
                    out += '\\';
                out += c;
            }
            return out;
        };
        meta << ";FFMETADATA1\n"
             << "title=" << escape(tags.title) << "\n"
             << "artist=" << escape(tags.artist) << "\n"
             << "album=" << escape(tags.album) << "\n"
             << "date=" << tags.year << "\n"
             << "track=" << tags.trackNumber << "/12\n"
             << "genre=" << escape(tags.genre) << "\n"
             << "album_artist=" << escape(tags.albumArtist) << "\n"
             << "TIT3=" << escape(tags.subtitle) << "\n";
        meta.close();
        const std::string command = "ffmpeg -v error -y -i " + Quoted(plain) + " -i " + Quoted(lyricsFile) +
                                    " -map_metadata 1 -c copy -id3v2_version " + std::to_string(id3Version) + " " +
                                    Quoted(tagged);
        EXPECT_EQ(RunCommand(command), 0) << command;
        // ffmpeg writes comment and lyrics as TXXX frames and cannot write a popularimeter: those three
        // frames are added with TagLib directly, keeping the tag's version.
        TagLib::MPEG::File file(tagged.c_str(), false);
        EXPECT_TRUE(file.isValid());
        TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
        auto* comment = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF16);
        comment->setLanguage("eng");
        comment->setText(TagLib::String(tags.comment, TagLib::String::UTF8));
        tag->addFrame(comment);
        auto* lyrics = new TagLib::ID3v2::UnsynchronizedLyricsFrame(TagLib::String::UTF16);
        lyrics->setLanguage("eng");
        lyrics->setText(TagLib::String(tags.lyrics, TagLib::String::UTF8));
        tag->addFrame(lyrics);
        auto* rating = new TagLib::ID3v2::PopularimeterFrame();
        rating->setEmail("Windows Media Player 9 Series");
        rating->setRating(196);  // four stars
        tag->addFrame(rating);
        EXPECT_TRUE(file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone,
                              id3Version == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4, TagLib::File::DoNotDuplicate));
        return tagged;
    }

    std::string Probe(const fs::path& mp3, const std::string& key)
    {
        const fs::path out = PathOf("probe.txt");
        RunCommand("ffprobe -v error -show_entries format_tags=" + key + " -of default=nw=1:nk=1 " + Quoted(mp3) +
                   " > " + Quoted(out));
        const auto bytes = ReadFileBytes(out);
        std::string text(bytes.begin(), bytes.end());
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }
};

TEST_F(TagsTest, ReadsId3v23AndId3v24AndCarriesThemOntoASavedMp3)
{
    const FileTags expected = SampleTags();
    for (int version : {3, 4}) {
        SCOPED_TRACE(version);
        const fs::path source = MakeTaggedMp3("tagged-v2." + std::to_string(version) + ".mp3", version, expected);
        const auto head = ReadFileBytes(source);
        ASSERT_GT(head.size(), 4u);
        ASSERT_EQ(head[3], version) << "the ID3v2 version of the made file";

        Mp3Document document;
        ASSERT_EQ(document.LoadMp3(source, nullptr), 1);
        EXPECT_EQ(document.tags.readResult, 1);
        ExpectSameTags(document.tags, expected);

        const fs::path saved = PathOf("saved-v2." + std::to_string(version) + ".mp3");
        ASSERT_EQ(document.SaveMp3(saved, nullptr), 1);
        FileTags reread;
        ASSERT_EQ(reread.ReadTags(saved), 1);
        ExpectSameTags(reread, expected);
        EXPECT_EQ(Probe(saved, "title"), expected.title);
        EXPECT_EQ(Probe(saved, "artist"), expected.artist);
        EXPECT_EQ(Probe(saved, "album_artist"), expected.albumArtist);
        EXPECT_EQ(Probe(saved, "date"), "1999");
        EXPECT_EQ(Probe(saved, "track"), "7");
        EXPECT_EQ(Probe(saved, "genre"), expected.genre);
        // The tag sits in front of the audio and leaves the info frame intact: still the exact length.
        ASSERT_EQ(DecodeWithMpg123(saved, PathOf("check.wav")), 0);
        EXPECT_EQ(ReadPcm16Wav(PathOf("check.wav")).Frames(), document.buffer.frameCount);
    }
}

TEST_F(TagsTest, UntaggedMp3LeadsToNoTagWritingAtAll)
{
    const fs::path source = MakeUntaggedMp3("plain.mp3");
    Mp3Document document;
    ASSERT_EQ(document.LoadMp3(source, nullptr), 1);
    EXPECT_TRUE(document.tags.IsEmpty());
    EXPECT_EQ(document.tags.readResult, 1);
    const fs::path saved = PathOf("saved.mp3");
    ASSERT_EQ(document.SaveMp3(saved, nullptr), 1);
    const auto bytes = ReadFileBytes(saved);
    ASSERT_GT(bytes.size(), 3u);
    EXPECT_NE(std::string(bytes.begin(), bytes.begin() + 3), "ID3") << "no tag was to be written";
}

TEST_F(TagsTest, TagsOfTheLastMp3SurviveResetAndGoOntoALaterSave)
{
    const FileTags expected = SampleTags();
    const fs::path tagged = MakeTaggedMp3("tagged.mp3", 3, expected);
    Mp3Document document;
    ASSERT_EQ(document.LoadMp3(tagged, nullptr), 1);
    document.Reset();
    EXPECT_TRUE(document.buffer.IsEmpty());
    EXPECT_EQ(document.tags.title, expected.title);

    // A WAV opened afterwards is saved as MP3 with the earlier file's tags.
    const fs::path wav = PathOf("other.wav");
    ASSERT_EQ(RunCommand("sox -D -n -r 44100 -c 1 -b 16 " + Quoted(wav) + " synth 1 sine 330"), 0);
    ASSERT_EQ(LoadWav(document.buffer, wav, nullptr), 1);
    ASSERT_EQ(document.SaveMp3(PathOf("from-wav.mp3"), nullptr), 1);
    FileTags reread;
    ASSERT_EQ(reread.ReadTags(PathOf("from-wav.mp3")), 1);
    EXPECT_EQ(reread.title, expected.title);
    EXPECT_EQ(reread.year, expected.year);

    // A failed read clears the record.
    EXPECT_EQ(document.tags.ReadTags(PathOf("missing.mp3")), 0);
    EXPECT_TRUE(document.tags.IsEmpty());
    EXPECT_EQ(document.tags.readResult, 0);
}

TEST_F(TagsTest, PrecedenceYearTrackAndRatingRules)
{
    // ID3v2 wins over ID3v1; what ID3v2 lacks comes from ID3v1.
    const fs::path both = MakeUntaggedMp3("both.mp3");
    ASSERT_EQ(RunCommand("ffmpeg -v error -y -i " + Quoted(both) +
                         " -metadata title=FromV2 -c copy -write_id3v1 1 -id3v2_version 3 " + Quoted(PathOf("tmp.mp3"))),
              0);
    FileTags v2;
    ASSERT_EQ(v2.ReadTags(PathOf("tmp.mp3")), 1);
    EXPECT_EQ(v2.title, "FromV2");

    FileTags plain;
    plain.title = "Old title";
    plain.year = 2004;
    plain.trackNumber = 3;
    ASSERT_EQ(plain.WriteTags(both), 1);
    FileTags read;
    ASSERT_EQ(read.ReadTags(both), 1);
    EXPECT_EQ(read.title, "Old title");
    EXPECT_EQ(read.year, 2004u);
    EXPECT_EQ(read.trackNumber, 3u);
    EXPECT_TRUE(read.artist.empty());
    EXPECT_FALSE(read.IsEmpty());

    // The corpus has an ID3v1-only file (title, year 2004, track 2) and an ID3v2.4 with a full date.
    const fs::path v1Only = CorpusDir() / "mp3" / "mutagen-silence-44-s-v1.mp3";
    if (fs::exists(v1Only)) {
        FileTags fromV1;
        ASSERT_EQ(fromV1.ReadTags(v1Only), 1);
        EXPECT_EQ(fromV1.title, "Silence");
        EXPECT_EQ(fromV1.year, 2004u);
        EXPECT_EQ(fromV1.trackNumber, 2u);
        EXPECT_EQ(fromV1.genre, "Darkwave");
    }

    // Ratings: the five star steps survive a round trip; the mapping never yields 100 or more.
    for (uint32_t stars : {1u, 25u, 50u, 75u, 99u})
        EXPECT_EQ(FileTags::PopularimeterToRating(FileTags::RatingToPopularimeter(stars)), stars);
    for (uint32_t byte = 0; byte < 256; ++byte)
        EXPECT_LT(FileTags::PopularimeterToRating(byte), 100u);
    EXPECT_EQ(FileTags::RatingToPopularimeter(150), 255);

    // Junk: whatever TagLib makes of it, the record starts from empty.
    WriteFileBytes(PathOf("junk.mp3"), std::vector<unsigned char>(4000, 0x55));
    FileTags junk = SampleTags();
    junk.ReadTags(PathOf("junk.mp3"));
    EXPECT_TRUE(junk.IsEmpty()) << "nothing is left over from before the read";
}

}  // namespace
}  // namespace brindle::test

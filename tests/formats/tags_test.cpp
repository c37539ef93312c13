// Descriptive tags: read from ID3v2.3 and ID3v2.4 files made by ffmpeg at test time or taken from the
// corpus, carried onto a saved MP3, and checked there with ffprobe and a fresh read.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sys/stat.h>

#include <taglib/commentsframe.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/popularimeterframe.h>
#include <taglib/textidentificationframe.h>
#include <taglib/unsynchronizedlyricsframe.h>

#include "document/document.h"
#include "formats/file_tags.h"
#include "formats/mp3_document.h"
#include "formats/mp3_test_support.h"
#include "formats/wav_file.h"
#include "support/test_support.h"
#include "tasks/progress.h"

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

// The ID3v2 frames of a file that no field of the record holds, each as TagLib renders it: all but the
// ten fields' text frames, the comment the record takes (the first without a description, else the
// first) and the first lyrics frame.
std::multiset<std::string> FramesBesideTheRecord(const fs::path& mp3)
{
    TagLib::MPEG::File file(mp3.c_str(), false);
    std::multiset<std::string> frames;
    if (!file.hasID3v2Tag())
        return frames;
    TagLib::ID3v2::Tag* tag = file.ID3v2Tag();
    const TagLib::ID3v2::Frame* recordComment = nullptr;
    for (const TagLib::ID3v2::Frame* frame : tag->frameListMap()["COMM"]) {
        const auto* comment = dynamic_cast<const TagLib::ID3v2::CommentsFrame*>(frame);
        if (comment && comment->description().isEmpty()) {
            recordComment = frame;
            break;
        }
        if (comment && !recordComment)
            recordComment = frame;
    }
    const auto& lyrics = tag->frameListMap()["USLT"];
    const TagLib::ID3v2::Frame* recordLyrics = lyrics.isEmpty() ? nullptr : lyrics.front();
    for (const TagLib::ID3v2::Frame* frame : tag->frameList()) {
        const std::string id(frame->frameID().data(), frame->frameID().size());
        if (id == "TIT2" || id == "TPE1" || id == "TALB" || id == "TDRC" || id == "TRCK" || id == "TCON" ||
            id == "TPE2" || id == "TIT3" || frame == recordComment || frame == recordLyrics)
            continue;
        const TagLib::ByteVector bytes = frame->render();
        frames.insert(std::string(bytes.data(), bytes.size()));
    }
    return frames;
}

// Counts its polls and reports a cancel from the nth on, as if the user pressed Cancel just then.
class CancelAtPoll final : public Progress {
public:
    explicit CancelAtPoll(int n) : Progress(100), n_(n) {}
    bool IsCancelled() const override { return ++polls >= n_; }
    mutable int polls = 0;

private:
    int n_;
};

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

// A saved MP3 says its own length where the source said one, and keeps the source's ID3v1 tag, whether
// its frames were copied after a cut or the sound was encoded anew.
TEST_F(TagsTest, ASavedMp3SaysItsNewLengthAndKeepsTheSourcesId3v1)
{
    const fs::path wav = PathOf("five-seconds.wav");
    ASSERT_EQ(RunCommand("LC_ALL=C sox -D -n -r 44100 -c 2 -b 16 " + Quoted(wav) + " synth 5 sine 440 2>/dev/null"), 0);
    struct Source {
        const char* name;
        const char* make;  // writes OUT from IN
        bool hasId3v1;
        bool hasLength;    // a TLEN frame, of 5000 ms
    };
    const Source sources[] = {
        {"id3v1-only.mp3", "lame --quiet -b 128 --tt Title --ta Artist --ty 2004 --tn 3 --id3v1-only IN OUT", true, false},
        {"id3v1-and-id3v2.mp3", "lame --quiet -V 4 --tt Title --ta Artist --ty 2004 --tn 3 --add-id3v2 IN OUT", true,
         true},
        {"length.mp3", "ffmpeg -v error -y -i IN -c:a libmp3lame -b:a 128k -metadata title=Title -metadata TLEN=5000 OUT",
         false, true},
    };
    for (const Source& source : sources) {
        const fs::path mp3 = PathOf(source.name);
        std::string command = source.make;
        command.replace(command.find("IN"), 2, Quoted(wav));
        command.replace(command.find("OUT"), 3, Quoted(mp3));
        ASSERT_EQ(RunCommand("LC_ALL=C " + command), 0) << command;
        for (const bool encoded : {false, true}) {
            SCOPED_TRACE(std::string(source.name) + (encoded ? ", encoded anew" : ", frames copied"));
            Document document;
            ASSERT_EQ(document.Load(mp3), 1);
            ASSERT_EQ(document.DeleteRange(0, 44100, true), 1);
            if (encoded) {
                ASSERT_EQ(document.ChangeVolume(-1, -1, 90), 1);
            }
            const fs::path saved = PathOf("saved.mp3");
            ASSERT_EQ(document.Save(saved), 1);
            ASSERT_EQ(document.ReencodedPercent(), encoded ? 100u : 0u) << document.ReencodeReason();

            TagLib::MPEG::File file(saved.c_str(), false);
            ASSERT_TRUE(file.isValid());
            const TagLib::ID3v2::FrameList lengths =
                file.hasID3v2Tag() ? file.ID3v2Tag()->frameListMap()["TLEN"] : TagLib::ID3v2::FrameList();
            EXPECT_EQ(lengths.size(), source.hasLength ? 1u : 0u);
            if (!lengths.isEmpty()) {
                EXPECT_EQ(lengths.front()->toString().to8Bit(), "4000");
            }
            EXPECT_EQ(file.hasID3v1Tag(), source.hasId3v1);
            if (source.hasId3v1 && file.hasID3v1Tag()) {
                EXPECT_EQ(file.ID3v1Tag()->title().to8Bit(), "Title");
                EXPECT_EQ(file.ID3v1Tag()->artist().to8Bit(), "Artist");
                EXPECT_EQ(file.ID3v1Tag()->year(), 2004u);
                EXPECT_EQ(file.ID3v1Tag()->track(), 3u);
            }
            // Neither tag costs the file its exact length.
            ASSERT_EQ(DecodeWithMpg123(saved, PathOf("check.wav")), 0);
            EXPECT_EQ(ReadPcm16Wav(PathOf("check.wav")).Frames(), 176400u);
        }
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

TEST_F(TagsTest, FramesTheRecordDoesNotHoldSurviveASaveUnchanged)
{
    // Real-world tags from the corpus (a cover picture, the composer, private frames), plus what other
    // programs add: a second comment, a user text frame and a player's rating with its e-mail and
    // play count.
    int tried = 0;
    for (const char* name : {"mm-id3v2.3.mp3", "mm-id3v2.4.mp3"}) {
        SCOPED_TRACE(name);
        const fs::path corpus = CorpusDir() / "mp3" / name;
        if (!fs::exists(corpus))
            continue;
        ++tried;
        const fs::path source = PathOf(name);
        fs::copy_file(corpus, source);
        const int version = ReadFileBytes(source)[3];
        {
            TagLib::MPEG::File file(source.c_str(), false);
            TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
            auto* comment = new TagLib::ID3v2::CommentsFrame(TagLib::String::UTF16);
            comment->setLanguage("deu");
            comment->setDescription("Zweiter");
            comment->setText(TagLib::String("Noch ein Kommentar", TagLib::String::UTF8));
            tag->addFrame(comment);
            tag->addFrame(new TagLib::ID3v2::UserTextIdentificationFrame("MOOD", TagLib::StringList("calm")));
            auto* rating = new TagLib::ID3v2::PopularimeterFrame();
            rating->setEmail("Windows Media Player 9 Series");
            rating->setRating(196);
            rating->setCounter(12);
            tag->addFrame(rating);
            ASSERT_TRUE(file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone,
                                  version == 4 ? TagLib::ID3v2::v4 : TagLib::ID3v2::v3));
        }
        const std::multiset<std::string> beside = FramesBesideTheRecord(source);
        ASSERT_GE(beside.size(), 4u);

        Mp3Document document;
        ASSERT_EQ(document.LoadMp3(source, nullptr), 1);
        const fs::path saved = PathOf(std::string("saved-") + name);
        ASSERT_EQ(document.SaveMp3(saved, nullptr), 1);
        EXPECT_EQ(ReadFileBytes(saved)[3], version) << "the tag keeps its version";
        EXPECT_TRUE(FramesBesideTheRecord(saved) == beside) << "every other frame, byte for byte";
        FileTags reread;
        ASSERT_EQ(reread.ReadTags(saved), 1);
        ExpectSameTags(reread, document.tags);
        EXPECT_EQ(reread.rating, 75u);

        // And as another program sees them.
        EXPECT_EQ(Probe(saved, "composer"), Probe(source, "composer"));
        EXPECT_FALSE(Probe(saved, "composer").empty());
        EXPECT_EQ(Probe(saved, "MOOD"), "calm");
        const std::string picture = "ffprobe -v error -select_streams v -show_entries stream=codec_name -of csv=p=0 ";
        RunCommand(picture + Quoted(source) + " > " + Quoted(PathOf("a.txt")));
        RunCommand(picture + Quoted(saved) + " > " + Quoted(PathOf("b.txt")));
        EXPECT_FALSE(ReadFileBytes(PathOf("a.txt")).empty());
        EXPECT_EQ(ReadFileBytes(PathOf("b.txt")), ReadFileBytes(PathOf("a.txt"))) << "the cover picture";
    }
    if (tried == 0)
        GTEST_SKIP() << "no corpus at " << CorpusDir();
}

TEST_F(TagsTest, ReadingStopsAtACancelAndNeverWaitsOnWhatIsNotARegularFile)
{
    // 200 MB that are no MP3, sparse so that they cost nothing: looking for a frame reads all of it.
    const fs::path big = PathOf("big.mp3");
    std::ofstream(big).close();
    fs::resize_file(big, 200u << 20);
    CancelAtPoll progress(20);
    FileTags tags = SampleTags();
    EXPECT_EQ(tags.ReadTags(big, &progress), 0);
    EXPECT_LE(progress.polls, 21) << "no read after the cancel";
    EXPECT_TRUE(tags.IsEmpty());
    EXPECT_TRUE(tags.carriedFrames.empty());
    EXPECT_EQ(tags.readResult, 0);

    // Opening such a file hands the read its Progress.
    Mp3Document document;
    CancelAtPoll atOnce(1);
    EXPECT_EQ(document.LoadMp3(big, &atOnce), 0);
    EXPECT_EQ(document.tags.readResult, 0) << "the tag read itself was cut short";
    EXPECT_TRUE(document.buffer.IsEmpty());

    // A FIFO without a writer, a device and a folder are refused at once.
    ASSERT_EQ(::mkfifo(PathOf("fifo.mp3").c_str(), 0600), 0);
    EXPECT_EQ(tags.ReadTags(PathOf("fifo.mp3")), 0);
    EXPECT_EQ(tags.ReadTags("/dev/zero"), 0);
    EXPECT_EQ(tags.ReadTags(Dir()), 0);
}

}  // namespace
}  // namespace brindle::test

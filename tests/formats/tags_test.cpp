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
#include "formats/mp3_document.h"
#include "formats/mp3_test_support.h"
#include "formats/wav_file.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;

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
        if (comment && (comment->description().isEmpty() || !recordComment))
            recordComment = frame;
        if (comment && comment->description().isEmpty())
            break;
    }
    const auto& lyrics = tag->frameListMap()["USLT"];
    const TagLib::ID3v2::Frame* recordLyrics = lyrics.isEmpty() ? nullptr : lyrics.front();
    const std::set<std::string> fields = {"TIT2", "TPE1", "TALB", "TDRC", "TRCK", "TCON", "TPE2", "TIT3"};
    for (const TagLib::ID3v2::Frame* frame : tag->frameList()) {
        if (!fields.count(std::string(frame->frameID().data(), 4)) && frame != recordComment && frame != recordLyrics)
            frames.insert(std::string(frame->render().data(), frame->render().size()));
    }
    return frames;
}

class TagsTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!HasTool("ffmpeg") || !HasTool("ffprobe") || !HasTool("lame") || !HasTool("sox") || !HasTool("mpg123"))
            GTEST_SKIP() << "needs ffmpeg, ffprobe, lame, sox and mpg123";
    }

    fs::path MakeUntaggedMp3(const std::string& name, const std::string& seconds = "1")
    {
        SoxSynth(PathOf(name + ".wav"), 44100, 2, "synth " + seconds + " sine 440");
        EXPECT_EQ(RunCommand("lame --quiet -V 4 " + Quoted(PathOf(name + ".wav")) + " " + Quoted(PathOf(name))), 0);
        return PathOf(name);
    }

    // The text fields by ffmpeg's own ID3v2 writer (version 3 or 4); comment, lyrics and rating, which
    // ffmpeg writes otherwise or not at all, by TagLib.
    fs::path MakeTaggedMp3(const std::string& name, int id3Version, const FileTags& tags)
    {
        const fs::path plain = MakeUntaggedMp3("plain-" + name), tagged = PathOf(name), meta = PathOf("meta.txt");
        auto escape = [](const std::string& text) {
            std::string out;
            for (char c : text)
                out += std::string(c == '=' || c == ';' || c == '#' || c == '\\' || c == '\n' ? "\\" : "") + c;
            return out;
        };
        std::ofstream(meta) << ";FFMETADATA1\ntitle=" << escape(tags.title) << "\nartist=" << escape(tags.artist)
                            << "\nalbum=" << escape(tags.album) << "\ndate=" << tags.year << "\ntrack=" << tags.trackNumber
                            << "/12\ngenre=" << escape(tags.genre) << "\nalbum_artist=" << escape(tags.albumArtist)
                            << "\nTIT3=" << escape(tags.subtitle) << "\n";
        EXPECT_EQ(RunCommand("ffmpeg -v error -y -i " + Quoted(plain) + " -i " + Quoted(meta) +
                             " -map_metadata 1 -c copy -id3v2_version " + std::to_string(id3Version) + " " + Quoted(tagged)),
                  0);
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
        std::string text = Output("ffprobe -v error -show_entries format_tags=" + key + " -of default=nw=1:nk=1 " + Quoted(mp3));
        return text.substr(0, text.find_last_not_of('\n') + 1);
    }
};

TEST_F(TagsTest, ReadsId3v23AndId3v24AndCarriesThemOntoASavedMp3)
{
    const FileTags expected = SampleTags();
    for (int version : {3, 4}) {
        SCOPED_TRACE(version);
        const fs::path source = MakeTaggedMp3("tagged.mp3", version, expected);
        ASSERT_EQ(ReadFileBytes(source).at(3), version) << "the ID3v2 version of the made file";
        Mp3Document document;
        ASSERT_EQ(document.LoadMp3(source, nullptr), 1);
        EXPECT_EQ(document.tags.readResult, 1);
        EXPECT_EQ(TagFields(document.tags), TagFields(expected));
        const fs::path saved = PathOf("saved.mp3");
        ASSERT_EQ(document.SaveMp3(saved, nullptr), 1);
        FileTags reread;
        ASSERT_EQ(reread.ReadTags(saved), 1);
        EXPECT_EQ(TagFields(reread), TagFields(expected));
        const std::pair<const char*, std::string> probed[] = {{"title", expected.title}, {"artist", expected.artist},
            {"album_artist", expected.albumArtist}, {"date", "1999"}, {"track", "7"}, {"genre", expected.genre}};
        for (const auto& [key, value] : probed)
            EXPECT_EQ(Probe(saved, key), value) << key;
        // The tag sits in front of the audio and leaves the info frame intact: still the exact length.
        EXPECT_EQ(Mpg123Pcm(saved).Frames(), document.buffer.frameCount);
    }
}

// A saved MP3 says its own length where the source said one, and keeps the source's ID3v1 tag, whether
// its frames were copied after a cut or the sound was encoded anew.
TEST_F(TagsTest, ASavedMp3SaysItsNewLengthAndKeepsTheSourcesId3v1)
{
    const fs::path wav = PathOf("five-seconds.wav");
    SoxSynth(wav, 44100, 2, "synth 5 sine 440");
    const struct {
        const char* name;
        const char* make;  // writes OUT from IN
        bool hasId3v1;
        bool hasLength;    // a TLEN frame, of 5000 ms
    } sources[] = {
        {"id3v1-only.mp3", "lame --quiet -b 128 --tt Title --ta Artist --ty 2004 --tn 3 --id3v1-only IN OUT", true, false},
        {"both.mp3", "lame --quiet -V 4 --tt Title --ta Artist --ty 2004 --tn 3 --add-id3v2 IN OUT", true, true},
        {"length.mp3", "ffmpeg -v error -y -i IN -c:a libmp3lame -b:a 128k -metadata title=Title -metadata TLEN=5000 OUT",
         false, true},
    };
    for (const auto& source : sources) {
        const fs::path mp3 = PathOf(source.name);
        std::string command = source.make;
        command.replace(command.find("IN"), 2, Quoted(wav));
        command.replace(command.find("OUT"), 3, Quoted(mp3));
        ASSERT_EQ(RunCommand(command), 0) << command;
        for (const bool encoded : {false, true}) {
            SCOPED_TRACE(std::string(source.name) + (encoded ? ", encoded anew" : ", frames copied"));
            Document document;
            ASSERT_EQ(document.Load(mp3), 1);
            ASSERT_EQ(document.DeleteRange(0, 44100, true), 1);
            ASSERT_EQ(encoded ? document.ChangeVolume(-1, -1, 90) : 1, 1);
            const fs::path saved = PathOf("saved.mp3");
            ASSERT_EQ(document.Save(saved), 1);
            ASSERT_EQ(document.ReencodedPercent(), encoded ? 100u : 0u) << document.ReencodeReason();
            TagLib::MPEG::File file(saved.c_str(), false);
            ASSERT_TRUE(file.isValid());
            const TagLib::ID3v2::FrameList lengths =
                file.hasID3v2Tag() ? file.ID3v2Tag()->frameListMap()["TLEN"] : TagLib::ID3v2::FrameList();
            ASSERT_EQ(lengths.size(), source.hasLength ? 1u : 0u);
            EXPECT_EQ(lengths.isEmpty() ? "4000" : lengths.front()->toString().to8Bit(), "4000");
            ASSERT_EQ(file.hasID3v1Tag(), source.hasId3v1);
            if (source.hasId3v1) {
                const TagLib::Tag* v1 = file.ID3v1Tag();
                EXPECT_EQ(v1->title().to8Bit() + "/" + v1->artist().to8Bit(), "Title/Artist");
                EXPECT_EQ(v1->year() * 100 + v1->track(), 200403u);
            }
            // Neither tag costs the file its exact length.
            EXPECT_EQ(Mpg123Pcm(saved).Frames(), 176400u);
        }
    }
}

// The tags of the last MP3 opened survive a reset and go onto a later save of a WAV's sound; an
// untagged MP3 leads to no tag at all; a failed read clears the record.
TEST_F(TagsTest, TagsComeOnlyFromTheLastMp3AndSurviveReset)
{
    Mp3Document untagged;
    ASSERT_EQ(untagged.LoadMp3(MakeUntaggedMp3("plain.mp3"), nullptr), 1);
    EXPECT_TRUE(untagged.tags.IsEmpty());
    EXPECT_EQ(untagged.tags.readResult, 1);
    ASSERT_EQ(untagged.SaveMp3(PathOf("saved.mp3"), nullptr), 1);
    EXPECT_NE(ReadFileBytes(PathOf("saved.mp3")).at(0), 'I') << "no tag was to be written";

    const FileTags expected = SampleTags();
    Mp3Document document;
    ASSERT_EQ(document.LoadMp3(MakeTaggedMp3("tagged.mp3", 3, expected), nullptr), 1);
    document.Reset();
    EXPECT_TRUE(document.buffer.IsEmpty());
    EXPECT_EQ(document.tags.title, expected.title);
    SoxSynth(PathOf("other.wav"), 44100, 1, "synth 1 sine 330");
    ASSERT_EQ(LoadWav(document.buffer, PathOf("other.wav"), nullptr), 1);
    ASSERT_EQ(document.SaveMp3(PathOf("from-wav.mp3"), nullptr), 1);
    FileTags reread;
    ASSERT_EQ(reread.ReadTags(PathOf("from-wav.mp3")), 1);
    EXPECT_EQ(reread.title, expected.title);
    EXPECT_EQ(reread.year, expected.year);

    EXPECT_EQ(document.tags.ReadTags(PathOf("missing.mp3")), 0);
    EXPECT_TRUE(document.tags.IsEmpty());
    EXPECT_EQ(document.tags.readResult, 0);
}

TEST_F(TagsTest, PrecedenceYearTrackAndRatingRules)
{
    // ID3v2 wins over ID3v1; what ID3v2 lacks comes from ID3v1.
    const fs::path both = MakeUntaggedMp3("both.mp3");
    ASSERT_EQ(RunCommand("ffmpeg -v error -y -i " + Quoted(both) + " -metadata title=FromV2 -c copy -write_id3v1 1 "
                         "-id3v2_version 3 " + Quoted(PathOf("tmp.mp3"))), 0);
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
    EXPECT_EQ(TagFields(read), TagFields(plain));

    // The corpus has an ID3v1-only file: title, year 2004, track 2.
    const fs::path v1Only = CorpusDir() / "mp3" / "mutagen-silence-44-s-v1.mp3";
    if (fs::exists(v1Only)) {
        FileTags fromV1;
        ASSERT_EQ(fromV1.ReadTags(v1Only), 1);
        EXPECT_EQ(fromV1.title + "/" + fromV1.genre, "Silence/Darkwave");
        EXPECT_EQ(fromV1.year * 100 + fromV1.trackNumber, 200402u);
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

// Real-world tags from the corpus (a cover picture, the composer, private frames), plus what other
// programs add (a second comment, a user text frame, a player's rating with its play count), survive a
// save byte for byte and as ffprobe sees them.
TEST_F(TagsTest, FramesTheRecordDoesNotHoldSurviveASaveUnchanged)
{
    int tried = 0;
    for (const char* name : {"mm-id3v2.3.mp3", "mm-id3v2.4.mp3"}) {
        SCOPED_TRACE(name);
        const fs::path corpus = CorpusDir() / "mp3" / name, source = PathOf(name), saved = PathOf("saved.mp3");
        if (!fs::exists(corpus))
            continue;
        ++tried;
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
        ASSERT_EQ(document.SaveMp3(saved, nullptr), 1);
        EXPECT_EQ(ReadFileBytes(saved)[3], version) << "the tag keeps its version";
        EXPECT_TRUE(FramesBesideTheRecord(saved) == beside) << "every other frame, byte for byte";
        FileTags reread;
        ASSERT_EQ(reread.ReadTags(saved), 1);
        EXPECT_EQ(TagFields(reread), TagFields(document.tags));
        EXPECT_EQ(reread.rating, 75u);
        EXPECT_EQ(Probe(saved, "composer"), Probe(source, "composer"));
        EXPECT_FALSE(Probe(saved, "composer").empty());
        EXPECT_EQ(Probe(saved, "MOOD"), "calm");
        const std::string picture = "ffprobe -v error -select_streams v -show_entries stream=codec_name -of csv=p=0 ";
        EXPECT_FALSE(Output(picture + Quoted(source)).empty());
        EXPECT_EQ(Output(picture + Quoted(saved)), Output(picture + Quoted(source))) << "the cover picture";
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
    for (const fs::path& path : {PathOf("fifo.mp3"), fs::path("/dev/zero"), Dir()})
        EXPECT_EQ(tags.ReadTags(path), 0) << path;
}

}  // namespace
}  // namespace brindle::test

// FLAC, Ogg Vorbis and Opus: files made by the reference encoders (flac, sox, oggenc, opusenc) open
// with the samples their own decoders (flac, sox, opusdec) give; a sound saved in each format reads
// back with its samples and tags, as the reference tools and a fresh open see them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <set>

#include "document/document.h"
#include "formats/file_tags.h"
#include "formats/wav_file.h"
#include "formats/xiph_file.h"
#include "storage/source_file.h"
#include "support/test_support.h"
#include "tasks/failure.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;

// The samples of a loaded sound, channel by channel.
std::vector<std::vector<float>> Samples(const SoundBuffer& sound)
{
    std::vector<std::vector<float>> channels;
    for (int c = 0; c < sound.channels.ChannelCount(); ++c)
        channels.push_back(ReadStore(sound.channels.Channel(c)));
    return channels;
}

// The largest difference between two sounds' samples, in steps of a 16-bit sample.
double LargestDifference16(const SoundBuffer& a, const SoundBuffer& b)
{
    const auto x = Samples(a), y = Samples(b);
    double most = 0;
    for (size_t c = 0; c < x.size(); ++c)
        for (size_t k = 0; k < x[c].size(); ++k)
            most = std::max(most, std::fabs(double(x[c][k]) - double(y[c][k])) * 32768.0);
    return most;
}

// Signal to noise ratio of got against expected, in dB, over the first channel's common length.
double SnrDb(const std::vector<float>& expected, const std::vector<float>& got, size_t offset = 0)
{
    double signal = 0, noise = 0;
    for (size_t k = 0; k + offset < got.size() && k < expected.size(); ++k) {
        signal += double(expected[k]) * expected[k];
        const double d = double(got[k + offset]) - expected[k];
        noise += d * d;
    }
    return 10 * std::log10(signal / std::max(noise, 1e-30));
}

std::string Output(const std::string& command)
{
    std::string text;
    const std::string full = "LC_ALL=C.UTF-8 TZ=UTC " + command;
    FILE* pipe = ::popen(full.c_str(), "r");
    if (!pipe)
        return text;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        text.append(buffer, n);
    ::pclose(pipe);
    return text;
}

class XiphTest : public TempDirTest {
protected:
    // A two-tone sound made by sox: rate, channels, bits.
    fs::path Tones(const std::string& name, int rate, int channels, int bits, double seconds = 3)
    {
        const fs::path path = PathOf(name);
        const std::string command = "sox -D -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) +
                                    " -b " + std::to_string(bits) + " " + Quoted(path) + " synth " +
                                    std::to_string(seconds) + " sine 440 sine 1250 gain -4";
        EXPECT_EQ(RunCommand(command), 0) << command;
        return path;
    }
    static int Load(Document& document, const fs::path& path)
    {
        const int result = document.Load(path);
        EXPECT_EQ(result, 1) << path << ": " << document.LastFailure().text;
        return result;
    }
};

struct DecodeCase {
    const char* name;
    int rate, channels, bits;
    const char* encode;     // %s the WAV, %o the encoded file
    const char* encoded;    // its name
    const char* reference;  // %o the encoded file, %r the reference WAV
    double tolerance16;     // in 16-bit steps
    uint16_t bitsLoaded;
    uint32_t rateLoaded;
};

class XiphDecode : public XiphTest, public ::testing::WithParamInterface<DecodeCase> {};

std::string Fill(std::string text, const fs::path& wav, const fs::path& encoded, const fs::path& reference)
{
    for (const auto& [key, value] : {std::pair{"%s", wav}, {"%o", encoded}, {"%r", reference}}) {
        for (size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, 2, Quoted(value));
    }
    return text;
}

TEST_P(XiphDecode, OpensWithTheSamplesOfTheReferenceDecoder)
{
    const DecodeCase& c = GetParam();
    const fs::path wav = Tones("source.wav", c.rate, c.channels, c.bits);
    const fs::path encoded = PathOf(c.encoded), reference = PathOf("reference.wav");
    ASSERT_EQ(RunCommand(Fill(c.encode, wav, encoded, reference) + " 2>/dev/null"), 0);
    ASSERT_EQ(RunCommand(Fill(c.reference, wav, encoded, reference) + " 2>/dev/null"), 0);
    Document got, expected;
    ASSERT_EQ(Load(got, encoded), 1);
    ASSERT_EQ(Load(expected, reference), 1);
    const SoundBuffer& sound = got.ActiveBuffer();
    EXPECT_EQ(sound.format.bitsPerSample, c.bitsLoaded);
    EXPECT_EQ(sound.channels.SampleRate(), c.rateLoaded);
    EXPECT_EQ(sound.channels.ChannelCount(), c.channels);
    ASSERT_EQ(sound.channels.FrameCount(), expected.ActiveBuffer().channels.FrameCount());
    EXPECT_LE(LargestDifference16(sound, expected.ActiveBuffer()), c.tolerance16);
    EXPECT_EQ(int(got.Kind()), int(FileKind(encoded)));
}

INSTANTIATE_TEST_SUITE_P(
    Xiph, XiphDecode,
    ::testing::Values(
        DecodeCase{"Flac16Stereo", 44100, 2, 16, "flac -s -o %o %s", "a.flac", "flac -s -d -o %r %o", 0, 16, 44100},
        DecodeCase{"Flac24Mono", 96000, 1, 24, "flac -s -o %o %s", "a.flac", "sox %o %r", 0, 24, 96000},
        DecodeCase{"VorbisStereo", 44100, 2, 16, "oggenc -Q -o %o %s", "a.ogg", "sox -D %o -b 16 %r", 1, 16, 44100},
        DecodeCase{"OpusStereo48k", 48000, 2, 16, "opusenc --quiet %s %o", "a.opus",
                   "opusdec --quiet --no-dither --rate 48000 %o %r", 1, 16, 48000},
        // The header names 44.1 kHz, at which Opus cannot run: it decodes at 48 kHz.
        DecodeCase{"OpusMono44k", 44100, 1, 16, "opusenc --quiet %s %o", "a.opus",
                   "opusdec --quiet --no-dither --rate 48000 %o %r", 1, 16, 48000},
        DecodeCase{"OpusNamedOgg", 48000, 1, 16, "opusenc --quiet %s %o", "a.ogg",
                   "opusdec --quiet --no-dither --rate 48000 %o %r", 1, 16, 48000}),
    [](const auto& info) { return std::string(info.param.name); });

FileTags SampleTags()
{
    FileTags tags;
    tags.title = "Полёт — title";
    tags.artist = "Исполнитель";
    tags.album = "Album ✓";
    tags.year = 1999;
    tags.trackNumber = 7;
    tags.genre = "Electronic";
    tags.comment = "A comment, ü";
    tags.lyrics = "Line one\nСтрока два";
    tags.albumArtist = "Album Artist";
    tags.subtitle = "Subtitle";
    tags.carriedComments = {"COMPOSER=Кто-то", "DATE=1999-05-04"};
    return tags;
}

// A FLAC picture block made by metaflac from a PNG ImageMagick draws: what the pictures carry.
std::string PictureBlockOf(const fs::path& dir)
{
    const fs::path png = dir / "cover.png", flac = dir / "picture.flac";
    EXPECT_EQ(RunCommand("convert -size 8x8 xc:red " + Quoted(png) + " && sox -n -r 8000 -c 1 -b 16 " + Quoted(flac) +
                         " synth 0.1 sine 300 && metaflac --import-picture-from=" + Quoted(png) + " " + Quoted(flac)),
              0);
    SourceFile source;
    EXPECT_TRUE(source.Open(flac));
    FileTags tags;
    EXPECT_EQ(tags.ReadXiphTags(source), 1);
    EXPECT_EQ(tags.pictures.size(), 1u);
    return tags.pictures.empty() ? std::string() : tags.pictures[0];
}

struct RoundTripCase {
    const char* name;
    const char* ending;
    int rate, channels, bits;
    uint32_t savedRate;
    uint16_t bitsLoaded;
    double leastSnrDb;  // 0: the samples must come back exactly
    const char* probeCodec;
};

class XiphRoundTrip : public XiphTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(XiphRoundTrip, SavedSoundReadsBackWithItsTags)
{
    const RoundTripCase& c = GetParam();
    const fs::path wav = Tones("source.wav", c.rate, c.channels, c.bits);
    Document document;
    ASSERT_EQ(Load(document, wav), 1);
    const FileTags tags = [&] {
        FileTags t = SampleTags();
        t.pictures = {PictureBlockOf(Dir())};
        return t;
    }();
    // The tags of an open FLAC go with the sound: open one that has them, then put the WAV's sound in.
    const fs::path tagged = PathOf(std::string("tagged") + c.ending);
    ASSERT_EQ(SaveXiph(document.ActiveBuffer(), tagged,
                       std::string(c.ending) == ".flac"  ? XiphFormat::Flac
                       : std::string(c.ending) == ".ogg" ? XiphFormat::Vorbis
                                                         : XiphFormat::Opus,
                       &tags, nullptr),
              1)
        << LastFailure().text;
    Document reopened;
    ASSERT_EQ(Load(reopened, tagged), 1);
    const fs::path saved = PathOf(std::string("saved") + c.ending);
    ASSERT_EQ(reopened.Save(saved), 1) << reopened.LastFailure().text;

    Document back;
    ASSERT_EQ(Load(back, saved), 1);
    const FileTags& read = back.Tags();
    EXPECT_EQ(read.title, tags.title);
    EXPECT_EQ(read.artist, tags.artist);
    EXPECT_EQ(read.album, tags.album);
    EXPECT_EQ(read.year, tags.year);
    EXPECT_EQ(read.trackNumber, tags.trackNumber);
    EXPECT_EQ(read.genre, tags.genre);
    EXPECT_EQ(read.comment, tags.comment);
    EXPECT_EQ(read.lyrics, tags.lyrics);
    EXPECT_EQ(read.albumArtist, tags.albumArtist);
    EXPECT_EQ(read.subtitle, tags.subtitle);
    EXPECT_EQ(std::set<std::string>(read.carriedComments.begin(), read.carriedComments.end()),
              std::set<std::string>(tags.carriedComments.begin(), tags.carriedComments.end()));
    EXPECT_EQ(read.pictures, tags.pictures);

    // What another program sees in the file.
    const std::string probe = Output("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels:"
                                     "stream_tags=title,composer:format_tags=title,composer -of default=nw=1 " +
                                     Quoted(saved));
    EXPECT_NE(probe.find(std::string("codec_name=") + c.probeCodec), std::string::npos) << probe;
    EXPECT_NE(probe.find("sample_rate=" + std::to_string(c.savedRate)), std::string::npos) << probe;
    EXPECT_NE(probe.find("channels=" + std::to_string(c.channels)), std::string::npos) << probe;
    EXPECT_NE(probe.find("=Полёт — title"), std::string::npos) << probe;
    EXPECT_NE(probe.find("=Кто-то"), std::string::npos) << probe;

    const SoundBuffer& sound = back.ActiveBuffer();
    EXPECT_EQ(sound.channels.SampleRate(), c.savedRate);
    EXPECT_EQ(sound.format.bitsPerSample, c.bitsLoaded);
    const SoundBuffer& original = document.ActiveBuffer();
    if (c.leastSnrDb == 0) {
        ASSERT_EQ(sound.channels.FrameCount(), original.channels.FrameCount());
        EXPECT_EQ(Samples(sound), Samples(original));
        return;
    }
    const double expectedFrames = double(original.channels.FrameCount()) * c.savedRate / c.rate;
    EXPECT_NEAR(double(sound.channels.FrameCount()), expectedFrames, c.savedRate * 0.03);
    if (c.savedRate == uint32_t(c.rate)) {
        EXPECT_GT(SnrDb(Samples(original)[0], Samples(sound)[0]), c.leastSnrDb);
    }
}

INSTANTIATE_TEST_SUITE_P(Xiph, XiphRoundTrip,
                         ::testing::Values(RoundTripCase{"Flac16", ".flac", 44100, 2, 16, 44100, 16, 0, "flac"},
                                           RoundTripCase{"Flac24", ".flac", 48000, 1, 24, 48000, 24, 0, "flac"},
                                           RoundTripCase{"Vorbis", ".ogg", 44100, 2, 16, 44100, 16, 15, "vorbis"},
                                           RoundTripCase{"Opus48k", ".opus", 48000, 2, 16, 48000, 16, 15, "opus"},
                                           RoundTripCase{"Opus44kResampled", ".opus", 44100, 1, 16, 48000, 16, 15,
                                                         "opus"}),
                         [](const auto& info) { return std::string(info.param.name); });

// The resampled Opus file against the reference chain: sox's own resampling to 48 kHz, encoded and
// decoded by the reference tools, and ours decoded by opusdec. Both stand for the same tones.
TEST_F(XiphTest, OpusOfA44kSoundHasTheTonesAt48k)
{
    const fs::path wav = Tones("source.wav", 44100, 1, 16);
    Document document;
    ASSERT_EQ(Load(document, wav), 1);
    const fs::path saved = PathOf("saved.opus"), decoded = PathOf("decoded.wav"), expected = PathOf("expected.wav");
    ASSERT_EQ(document.Save(saved), 1) << document.LastFailure().text;
    ASSERT_EQ(RunCommand("opusdec --quiet --no-dither --rate 48000 " + Quoted(saved) + " " + Quoted(decoded) +
                         " && sox -D " + Quoted(wav) + " -r 48000 " + Quoted(expected) + " rate -v"),
              0);
    Document ours, reference;
    ASSERT_EQ(Load(ours, decoded), 1);
    ASSERT_EQ(Load(reference, expected), 1);
    EXPECT_NEAR(double(ours.ActiveBuffer().frameCount), double(reference.ActiveBuffer().frameCount), 48000 * 0.03);
    EXPECT_GT(SnrDb(Samples(reference.ActiveBuffer())[0], Samples(ours.ActiveBuffer())[0]), 15);
}

// Tags written by the reference tools, pictures included, open into the record.
TEST_F(XiphTest, TagsOfTheReferenceEncodersOpen)
{
    const fs::path wav = Tones("source.wav", 48000, 1, 16, 0.5);
    const fs::path png = PathOf("cover.png");
    ASSERT_EQ(RunCommand("convert -size 4x4 xc:blue " + Quoted(png)), 0);
    const struct {
        const char* ending;
        std::string command;
    } cases[] = {
        {".flac", "flac -s -T TITLE=Заголовок -T ARTIST=Artist -T DATE=2004 -T TRACKNUMBER=3/9 -T MOOD=calm --picture=" +
                      Quoted(png) + " -o %o " + Quoted(wav)},
        {".ogg", "oggenc -Q -t Заголовок -a Artist -d 2004 -N 3 -c MOOD=calm -o %o " + Quoted(wav)},
        {".opus", "opusenc --quiet --title Заголовок --artist Artist --date 2004 --comment TRACKNUMBER=3 "
                  "--comment MOOD=calm --picture " +
                      Quoted(png) + " " + Quoted(wav) + " %o"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ending);
        const fs::path file = PathOf(std::string("tagged") + c.ending);
        std::string command = c.command;
        command.replace(command.find("%o"), 2, Quoted(file));
        ASSERT_EQ(RunCommand(command), 0) << command;
        Document document;
        ASSERT_EQ(Load(document, file), 1);
        EXPECT_EQ(document.Tags().title, "Заголовок");
        EXPECT_EQ(document.Tags().artist, "Artist");
        EXPECT_EQ(document.Tags().year, 2004u);
        EXPECT_EQ(document.Tags().trackNumber, 3u);
        EXPECT_NE(std::find(document.Tags().carriedComments.begin(), document.Tags().carriedComments.end(),
                            "MOOD=calm"),
                  document.Tags().carriedComments.end());
        EXPECT_EQ(document.Tags().pictures.size(), std::string(c.ending) == ".ogg" ? 0u : 1u);
    }
}

// A cover picture goes across formats: an MP3's attached picture onto a FLAC, and back.
TEST_F(XiphTest, PicturesCrossBetweenMp3AndFlac)
{
    const fs::path wav = Tones("source.wav", 44100, 1, 16, 0.5);
    const fs::path png = PathOf("cover.png"), mp3 = PathOf("covered.mp3");
    ASSERT_EQ(RunCommand("convert -size 4x4 xc:green " + Quoted(png) + " && ffmpeg -v error -i " + Quoted(wav) +
                         " -i " + Quoted(png) + " -map 0 -map 1 -c:a libmp3lame -c:v copy -id3v2_version 3 " +
                         "-metadata title=Covered " + Quoted(mp3)),
              0);
    Document document;
    ASSERT_EQ(Load(document, mp3), 1);
    const fs::path flac = PathOf("covered.flac"), again = PathOf("again.mp3");
    ASSERT_EQ(document.Save(flac), 1) << document.LastFailure().text;
    const std::string listed = Output("metaflac --list --block-type=PICTURE " + Quoted(flac));
    EXPECT_NE(listed.find("MIME type: image/png"), std::string::npos) << listed;
    EXPECT_EQ(Output("metaflac --show-tag=TITLE " + Quoted(flac)), "TITLE=Covered\n");

    Document fromFlac;
    ASSERT_EQ(Load(fromFlac, flac), 1);
    ASSERT_EQ(fromFlac.Save(again), 1) << fromFlac.LastFailure().text;
    const std::string probe = Output("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + Quoted(again));
    EXPECT_NE(probe.find("png"), std::string::npos) << probe;
}

// What cannot be opened says why and leaves nothing; an unknown ending keeps its refusal.
TEST_F(XiphTest, DamagedFilesFailWithAReason)
{
    const fs::path wav = Tones("source.wav", 44100, 2, 16, 1);
    const fs::path flac = PathOf("a.flac"), ogg = PathOf("a.ogg");
    ASSERT_EQ(RunCommand("flac -s -o " + Quoted(flac) + " " + Quoted(wav) + " && oggenc -Q -o " + Quoted(ogg) + " " +
                         Quoted(wav)),
              0);
    const std::vector<unsigned char> flacBytes = ReadFileBytes(flac), oggBytes = ReadFileBytes(ogg);
    const struct {
        const char* name;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {"empty.flac", {}},
        {"text.flac", {'h', 'e', 'l', 'l', 'o'}},
        {"header-only.flac", {flacBytes.begin(), flacBytes.begin() + 42}},
        {"wav-named.ogg", ReadFileBytes(wav)},
        {"first-page.ogg", {oggBytes.begin(), oggBytes.begin() + 58}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFileBytes(PathOf(c.name), c.bytes);
        Document document;
        EXPECT_EQ(document.Load(PathOf(c.name)), 0);
        EXPECT_TRUE(document.IsEmpty());
        EXPECT_FALSE(document.LastFailure().text.empty());
        EXPECT_TRUE(TempFiles().empty());
    }
    // More channels than a sound may have: the WAV reader's words.
    const fs::path three = PathOf("three.wav"), threeFlac = PathOf("three.flac");
    ASSERT_EQ(RunCommand("sox -n -r 8000 -c 3 -b 24 " + Quoted(three) + " synth 0.5 sine 300 && flac -s --channel-map=none -o " +
                         Quoted(threeFlac) + " " + Quoted(three) + " 2>/dev/null"),
              0);
    Document surround;
    EXPECT_EQ(surround.Load(threeFlac), 0);
    EXPECT_EQ(surround.LastFailure().text, "3 channels (only mono and stereo open)");

    WriteFileBytes(PathOf("a.aiff"), ReadFileBytes(wav));
    Document document;
    EXPECT_EQ(document.Load(PathOf("a.aiff")), 0);
    EXPECT_EQ(document.LastFailure().text, "not an .mp3, .wav, .flac, .ogg or .opus file");
    ASSERT_EQ(Load(document, wav), 1);
    EXPECT_EQ(document.Save(PathOf("b.aiff")), 0);
    EXPECT_EQ(document.LastFailure().text, "the name must end in .mp3, .wav, .flac, .ogg or .opus");
}

// A save that cannot finish (the disk is full) leaves the file that was there and no other.
TEST_F(XiphTest, FailedSaveKeepsTheOldFile)
{
    const fs::path wav = Tones("source.wav", 44100, 2, 16, 20);
    Document document;
    ASSERT_EQ(Load(document, wav), 1);
    const size_t held = TempFiles().size();
    for (const char* ending : {".flac", ".ogg", ".opus"}) {
        SCOPED_TRACE(ending);
        const fs::path target = PathOf(std::string("kept") + ending);
        WriteFileBytes(target, {'o', 'l', 'd'});
        {
            FileSizeLimit limit(64 * 1024);
            EXPECT_EQ(document.Save(target), 0);
        }
        EXPECT_FALSE(document.LastFailure().text.empty());
        EXPECT_EQ(ReadFileBytes(target), (std::vector<unsigned char>{'o', 'l', 'd'}));
        EXPECT_EQ(TempFiles().size(), held);
    }
}

}  // namespace
}  // namespace brindle::test

// FLAC, Ogg Vorbis and Opus: files made by the reference encoders (flac, sox, oggenc, opusenc) open
// with the samples their own decoders (flac, sox, opusdec) give; a sound saved in each format reads
// back with its samples and tags, as the reference tools and a fresh open see them.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "document/document.h"
#include "formats/mp3_test_support.h"
#include "formats/xiph_file.h"
#include "storage/source_file.h"
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

// Signal to noise ratio of got against expected, in dB, over the first channel's common length.
double SnrDb(const SoundBuffer& expected, const SoundBuffer& got)
{
    const std::vector<float> x = Samples(expected)[0], y = Samples(got)[0];
    double signal = 0, noise = 0;
    for (size_t k = 0; k < y.size() && k < x.size(); ++k) {
        signal += double(x[k]) * x[k];
        noise += (double(y[k]) - x[k]) * (double(y[k]) - x[k]);
    }
    return 10 * std::log10(signal / std::max(noise, 1e-30));
}

// Each %s, %o and %r of a command as the quoted source WAV, encoded file and reference WAV.
std::string Fill(std::string text, const fs::path& wav, const fs::path& encoded, const fs::path& reference)
{
    for (const auto& [key, value] : {std::pair{"%s", wav}, {"%o", encoded}, {"%r", reference}})
        for (size_t at; (at = text.find(key)) != std::string::npos;)
            text.replace(at, 2, Quoted(value));
    return text;
}

class XiphTest : public TempDirTest {
protected:
    // A two-tone sound made by sox.
    fs::path Tones(int rate, int channels, int bits, double seconds = 3)
    {
        SoxSynth(PathOf("source.wav"), rate, channels, "synth " + std::to_string(seconds) + " sine 440 sine 1250 gain -4", bits);
        return PathOf("source.wav");
    }
    static int Load(Document& document, const fs::path& path)
    {
        const int result = document.Load(path);
        EXPECT_EQ(result, 1) << path << ": " << document.LastFailure().text;
        return result;
    }
};

TEST_F(XiphTest, OpensWithTheSamplesOfTheReferenceDecoder)
{
    const struct {
        const char* name;
        int rate, channels, bits;
        const char* encode;     // to %o from %s
        const char* encoded;    // its name
        const char* reference;  // to %r from %o
        double tolerance16;     // in 16-bit steps
        uint32_t rateLoaded;
    } cases[] = {
        {"FLAC 16-bit", 44100, 2, 16, "flac -s -o %o %s", "a.flac", "flac -s -d -o %r %o", 0, 44100},
        {"FLAC 24-bit", 96000, 1, 24, "flac -s -o %o %s", "a.flac", "sox %o %r", 0, 96000},
        {"Vorbis", 44100, 2, 16, "oggenc -Q -o %o %s", "a.ogg", "sox -D %o -b 16 %r", 1, 44100},
        {"Opus", 48000, 2, 16, "opusenc --quiet %s %o", "a.opus", "opusdec --quiet --no-dither --rate 48000 %o %r", 1, 48000},
        // The header names 44.1 kHz, at which Opus cannot run: it decodes at 48 kHz.
        {"Opus of 44.1 kHz", 44100, 1, 16, "opusenc --quiet %s %o", "a.opus", "opusdec --quiet --no-dither --rate 48000 %o %r", 1, 48000},
        {"Opus named .ogg", 48000, 1, 16, "opusenc --quiet %s %o", "a.ogg", "opusdec --quiet --no-dither --rate 48000 %o %r", 1, 48000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path wav = Tones(c.rate, c.channels, c.bits), encoded = PathOf(c.encoded), reference = PathOf("reference.wav");
        fs::remove(encoded);  // flac keeps a file that is there
        ASSERT_EQ(RunCommand(Fill(c.encode, wav, encoded, reference) + " 2>/dev/null"), 0);
        ASSERT_EQ(RunCommand(Fill(c.reference, wav, encoded, reference) + " 2>/dev/null"), 0);
        Document got, expected;
        ASSERT_EQ(Load(got, encoded), 1);
        ASSERT_EQ(Load(expected, reference), 1);
        const SoundBuffer& sound = got.ActiveBuffer();
        EXPECT_EQ(sound.format.bitsPerSample, c.bits);
        EXPECT_EQ(sound.channels.SampleRate(), c.rateLoaded);
        EXPECT_EQ(sound.channels.ChannelCount(), c.channels);
        const auto x = Samples(sound), y = Samples(expected.ActiveBuffer());
        ASSERT_EQ(x[0].size(), y[0].size());
        double most = 0;
        for (size_t ch = 0; ch < x.size(); ++ch)
            for (size_t k = 0; k < x[ch].size(); ++k)
                most = std::max(most, std::fabs(double(x[ch][k]) - double(y[ch][k])) * 32768.0);
        EXPECT_LE(most, c.tolerance16);
        EXPECT_EQ(int(got.Kind()), int(FileKind(encoded)));
    }
}

// A sound saved in each format, by a document that opened one with tags, reads back with its samples
// and tags, as a fresh open and ffprobe see them.
TEST_F(XiphTest, SavedSoundReadsBackWithItsTags)
{
    FileTags tags = SampleTags();
    tags.rating = 0;
    tags.carriedComments = {"COMPOSER=Кто-то", "DATE=1999-05-04"};
    // A FLAC picture block made by metaflac from a PNG ImageMagick draws.
    const fs::path png = PathOf("cover.png"), pictured = PathOf("picture.flac");
    ASSERT_EQ(RunCommand("convert -size 8x8 xc:red " + Quoted(png) + " && sox -n -r 8000 -c 1 -b 16 " + Quoted(pictured) +
                         " synth 0.1 sine 300 && metaflac --import-picture-from=" + Quoted(png) + " " + Quoted(pictured)),
              0);
    SourceFile pictureSource;
    ASSERT_TRUE(pictureSource.Open(pictured));
    FileTags picture;
    ASSERT_EQ(picture.ReadXiphTags(pictureSource), 1);
    ASSERT_EQ(picture.pictures.size(), 1u);
    tags.pictures = picture.pictures;

    const struct {
        const char* ending;
        XiphFormat format;
        int rate, channels, bits;
        uint32_t savedRate;
        double leastSnrDb;  // 0: the samples must come back exactly
        const char* probeCodec;
    } cases[] = {
        {".flac", XiphFormat::Flac, 44100, 2, 16, 44100, 0, "flac"},
        {".flac", XiphFormat::Flac, 48000, 1, 24, 48000, 0, "flac"},
        {".ogg", XiphFormat::Vorbis, 44100, 2, 16, 44100, 15, "vorbis"},
        {".opus", XiphFormat::Opus, 48000, 2, 16, 48000, 15, "opus"},
        {".opus", XiphFormat::Opus, 44100, 1, 16, 48000, 15, "opus"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ending) + " " + std::to_string(c.rate));
        Document document;
        ASSERT_EQ(Load(document, Tones(c.rate, c.channels, c.bits)), 1);
        const fs::path tagged = PathOf(std::string("tagged") + c.ending), saved = PathOf(std::string("saved") + c.ending);
        ASSERT_EQ(SaveXiph(document.ActiveBuffer(), tagged, c.format, &tags, nullptr), 1) << LastFailure().text;
        Document reopened, back;
        ASSERT_EQ(Load(reopened, tagged), 1);
        ASSERT_EQ(reopened.Save(saved), 1) << reopened.LastFailure().text;
        ASSERT_EQ(Load(back, saved), 1);
        const FileTags& read = back.Tags();
        EXPECT_EQ(TagFields(read), TagFields(tags));
        EXPECT_EQ(std::set(read.carriedComments.begin(), read.carriedComments.end()),
                  std::set(tags.carriedComments.begin(), tags.carriedComments.end()));
        EXPECT_EQ(read.pictures, tags.pictures);

        const std::string probe = Output("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels:"
                                         "stream_tags=title,composer:format_tags=title,composer -of default=nw=1 " +
                                         Quoted(saved));
        for (const std::string& line : {"codec_name=" + std::string(c.probeCodec), "sample_rate=" + std::to_string(c.savedRate),
                                        "channels=" + std::to_string(c.channels), std::string("=Полёт — title"), std::string("=Кто-то")})
            EXPECT_NE(probe.find(line), std::string::npos) << line << " in " << probe;

        const SoundBuffer& sound = back.ActiveBuffer();
        const SoundBuffer& original = document.ActiveBuffer();
        EXPECT_EQ(sound.channels.SampleRate(), c.savedRate);
        EXPECT_EQ(sound.format.bitsPerSample, c.bits);
        if (c.leastSnrDb == 0) {
            EXPECT_EQ(Samples(sound), Samples(original));
            continue;
        }
        EXPECT_NEAR(double(sound.channels.FrameCount()), double(original.channels.FrameCount()) * c.savedRate / c.rate,
                    c.savedRate * 0.03);
        if (c.savedRate == uint32_t(c.rate)) {
            EXPECT_GT(SnrDb(original, sound), c.leastSnrDb);
        }
    }
}

// The resampled Opus file against the reference chain: sox's own resampling to 48 kHz, and ours decoded
// by opusdec. Both stand for the same tones.
TEST_F(XiphTest, OpusOfA44kSoundHasTheTonesAt48k)
{
    const fs::path wav = Tones(44100, 1, 16);
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
    EXPECT_GT(SnrDb(reference.ActiveBuffer(), ours.ActiveBuffer()), 15);
}

// Tags written by the reference tools, pictures included, open into the record; a cover picture goes
// from an MP3 onto a FLAC and back.
TEST_F(XiphTest, TagsOfTheReferenceEncodersOpenAndPicturesCrossFormats)
{
    const fs::path wav = Tones(48000, 1, 16, 0.5), png = PathOf("cover.png");
    ASSERT_EQ(RunCommand("convert -size 4x4 xc:blue " + Quoted(png)), 0);
    const std::pair<const char*, std::string> cases[] = {
        {".flac", "flac -s -T TITLE=Заголовок -T ARTIST=Artist -T DATE=2004 -T TRACKNUMBER=3/9 -T MOOD=calm --picture=" +
                      Quoted(png) + " -o %o %s"},
        {".ogg", "oggenc -Q -t Заголовок -a Artist -d 2004 -N 3 -c MOOD=calm -o %o %s"},
        {".opus", "opusenc --quiet --title Заголовок --artist Artist --date 2004 --comment TRACKNUMBER=3 "
                  "--comment MOOD=calm --picture " + Quoted(png) + " %s %o"},
    };
    for (const auto& [ending, command] : cases) {
        SCOPED_TRACE(ending);
        const fs::path file = PathOf(std::string("tagged") + ending);
        ASSERT_EQ(RunCommand(Fill(command, wav, file, {})), 0) << command;
        Document document;
        ASSERT_EQ(Load(document, file), 1);
        const FileTags& tags = document.Tags();
        EXPECT_EQ(tags.title + "/" + tags.artist, "Заголовок/Artist");
        EXPECT_EQ(tags.year * 100 + tags.trackNumber, 200403u);
        EXPECT_EQ(std::count(tags.carriedComments.begin(), tags.carriedComments.end(), "MOOD=calm"), 1);
        EXPECT_EQ(tags.pictures.size(), std::string(ending) == ".ogg" ? 0u : 1u);
    }

    const fs::path mp3 = PathOf("covered.mp3"), flac = PathOf("covered.flac"), again = PathOf("again.mp3");
    ASSERT_EQ(RunCommand("ffmpeg -v error -i " + Quoted(wav) + " -i " + Quoted(png) + " -map 0 -map 1 -c:a libmp3lame "
                         "-c:v copy -id3v2_version 3 -metadata title=Covered " + Quoted(mp3)),
              0);
    Document document;
    ASSERT_EQ(Load(document, mp3), 1);
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

// What cannot be opened or saved says why and leaves nothing: damaged files, too many channels, an
// unknown ending, and a save onto a full disk, which keeps the file that was there.
TEST_F(XiphTest, FailuresSayWhyAndLeaveNothing)
{
    const fs::path wav = Tones(44100, 2, 16, 10), flac = PathOf("a.flac"), ogg = PathOf("a.ogg");
    ASSERT_EQ(RunCommand("flac -s -o " + Quoted(flac) + " " + Quoted(wav) + " && oggenc -Q -o " + Quoted(ogg) + " " +
                         Quoted(wav)),
              0);
    const std::vector<unsigned char> flacBytes = ReadFileBytes(flac), oggBytes = ReadFileBytes(ogg);
    const std::pair<const char*, std::vector<unsigned char>> cases[] = {
        {"empty.flac", {}},
        {"text.flac", {'h', 'e', 'l', 'l', 'o'}},
        {"header-only.flac", {flacBytes.begin(), flacBytes.begin() + 42}},
        {"wav-named.ogg", ReadFileBytes(wav)},
        {"first-page.ogg", {oggBytes.begin(), oggBytes.begin() + 58}},
    };
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        WriteFileBytes(PathOf(name), bytes);
        Document document;
        EXPECT_EQ(document.Load(PathOf(name)), 0);
        EXPECT_TRUE(document.IsEmpty());
        EXPECT_FALSE(document.LastFailure().text.empty());
        EXPECT_TRUE(TempFiles().empty());
    }
    const fs::path three = PathOf("three.wav"), threeFlac = PathOf("three.flac");
    ASSERT_EQ(RunCommand("sox -n -r 8000 -c 3 -b 24 " + Quoted(three) + " synth 0.5 sine 300 && flac -s --channel-map=none -o " +
                         Quoted(threeFlac) + " " + Quoted(three) + " 2>/dev/null"),
              0);
    Document document;
    EXPECT_EQ(document.Load(threeFlac), 0);
    EXPECT_EQ(document.LastFailure().text, "3 channels (only mono and stereo open)");
    WriteFileBytes(PathOf("a.aiff"), ReadFileBytes(wav));
    EXPECT_EQ(document.Load(PathOf("a.aiff")), 0);
    EXPECT_EQ(document.LastFailure().text, "not an .mp3, .wav, .flac, .ogg or .opus file");

    ASSERT_EQ(Load(document, wav), 1);
    EXPECT_EQ(document.Save(PathOf("b.aiff")), 0);
    EXPECT_EQ(document.LastFailure().text, "the name must end in .mp3, .wav, .flac, .ogg or .opus");
    const size_t held = TempFiles().size();
    for (const char* ending : {".flac", ".ogg", ".opus"}) {
        SCOPED_TRACE(ending);
        const fs::path target = PathOf(std::string("kept") + ending);
        WriteFileBytes(target, {'o', 'l', 'd'});
        {
            FileSizeLimit limit(16 * 1024);
            EXPECT_EQ(document.Save(target), 0);
        }
        EXPECT_FALSE(document.LastFailure().text.empty());
        EXPECT_EQ(ReadFileBytes(target), (std::vector<unsigned char>{'o', 'l', 'd'}));
        EXPECT_EQ(TempFiles().size(), held);
    }
}

}  // namespace
}  // namespace brindle::test

// MP3 import and export: decoding compared sample for sample with mpg123's own 16-bit output,
// encoding checked by decoding the result with mpg123 and walking its frame headers.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>
#include <sys/stat.h>

#include "formats/mp3_decoder.h"
#include "formats/mp3_document.h"
#include "formats/mp3_encoder.h"
#include "formats/mp3_test_support.h"
#include "formats/truncating_progress.h"
#include "formats/wav_file.h"
#include "storage/mapped_file_stream.h"
#include "storage/sound_buffer.h"
#include "tasks/failure.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;

class Mp3Test : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!HasTool("mpg123") || !HasTool("lame") || !HasTool("sox"))
            GTEST_SKIP() << "needs mpg123, lame and sox";
    }

    // A sweep plus quiet noise, so that encoders work for their bits. The same noise every run (-R):
    // fresh noise now and then holds what looks like MPEG frames.
    fs::path MakeWav(const std::string& name, int channels, int rate, double seconds, int bits = 16)
    {
        SoxSynth(PathOf(name), rate, channels,
                 "synth " + std::to_string(seconds) + " sine 100-" + std::to_string(rate / 2 - 100) +
                     " pinknoise vol 0.5",
                 bits);
        return PathOf(name);
    }

    fs::path MakeMp3(const std::string& name, int channels, int rate, double seconds, const std::string& lameOptions)
    {
        const fs::path wav = MakeWav(name + ".wav", channels, rate, seconds), mp3 = PathOf(name);
        EXPECT_EQ(RunCommand("lame --quiet " + lameOptions + " " + Quoted(wav) + " " + Quoted(mp3)), 0) << lameOptions;
        fs::remove(wav);
        return mp3;
    }

    void LoadWavInto(SoundBuffer& buffer, const fs::path& wav) { ASSERT_EQ(LoadWav(buffer, wav, nullptr), 1) << wav; }

    // Saves, decodes with mpg123 and checks channels, rate, exact length, and that the stream is VBR
    // within 128..192 kbit/s.
    void ExpectExportDecodesToSameShape(const SoundBuffer& sound, const fs::path& mp3)
    {
        const Pcm16 result = Mpg123Pcm(mp3);
        ASSERT_TRUE(result.isValid);
        EXPECT_EQ(result.channels, sound.channels.ChannelCount());
        EXPECT_EQ(result.rate, sound.format.samplesPerSecond);
        EXPECT_EQ(result.Frames(), sound.frameCount) << "the info tag should trim delay and padding";
        const FrameWalk walk = WalkMp3Frames(mp3);
        ASSERT_GT(walk.bitrates.size(), 10u);
        EXPECT_EQ(walk.channels, sound.channels.ChannelCount());
        EXPECT_EQ(walk.sampleRate, sound.format.samplesPerSecond);
        const std::string first(walk.firstFrame.begin(), walk.firstFrame.end());
        EXPECT_NE(first.find("Xing"), std::string::npos) << "a VBR stream starts with a Xing frame";
        EXPECT_NE(first.find("LAME"), std::string::npos);
        const std::set<uint32_t> rates(walk.bitrates.begin() + 1, walk.bitrates.end());
        // A mono stream of this signal needs no more than the minimum; stereo varies.
        if (walk.channels == 2) {
            EXPECT_GT(rates.size(), 1u) << "a VBR stream uses more than one bit rate";
        }
        EXPECT_GE(*rates.begin(), 128u);
        EXPECT_LE(*rates.rbegin(), 192u);
    }
};

// Every layout lame makes loads, as a document and through the decoder alone, to mpg123's samples.
TEST_F(Mp3Test, LameMadeFilesLoadAsMpg123DecodesThem)
{
    for (int channels : {1, 2})
        for (int rate : {32000, 44100, 48000, 22050, 16000, 8000})
            for (const std::string options : {"--cbr -b 64", "-V 4", "-V 2"}) {
                if (options == "-V 2" && (channels != 2 || rate != 44100))
                    continue;  // the stereo -V 2 file the decoder alone was first shown to match
                SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(rate) + " Hz, " + options);
                // -m keeps the channel count and --resample the rate lame would otherwise choose.
                const fs::path mp3 = MakeMp3("Песня — ünïcødé ✓.mp3", channels, rate, 1.5,
                                             options + (channels == 1 ? " -m m" : " -m j") + " --resample " +
                                                 std::to_string(rate / 1000.0));
                const Pcm16 expected = Mpg123Pcm(mp3);
                ASSERT_TRUE(expected.isValid);
                Mp3Document document;
                Progress progress(1000);
                ASSERT_EQ(document.LoadMp3(mp3, &progress), 1);
                EXPECT_EQ(progress.Position(), 1000u);
                EXPECT_FALSE(progress.IsFailed());
                EXPECT_EQ(document.buffer.format.bitsPerSample, 16);
                EXPECT_EQ(FirstDifference(BufferPcm16(document.buffer), expected), "");
                EXPECT_EQ(TempFiles().size(), document.buffer.channels.ChannelCount()) << "only the channel files";

                SoundBuffer buffer;
                Mp3Decoder decoder;
                Progress own(500);
                ASSERT_EQ(decoder.DecodeInto(buffer, mp3, &own), 1);
                EXPECT_FALSE(decoder.IsOpen());
                EXPECT_EQ(own.Position(), 500u);
                EXPECT_FALSE(own.IsFailed());
                EXPECT_TRUE(BufferPcm16(buffer).samples == expected.samples);
                if (channels == 2 && rate == 44100)
                    ExpectStereo16Record(buffer, uint32_t(expected.Frames()));
            }
    // The last one saved under a name beyond ASCII.
    Mp3Document document;
    ASSERT_EQ(document.LoadMp3(PathOf("Песня — ünïcødé ✓.mp3"), nullptr), 1);
    ASSERT_EQ(document.SaveMp3(PathOf("Сохранено (1).mp3"), nullptr), 1);
    EXPECT_EQ(Mpg123Pcm(PathOf("Сохранено (1).mp3")).Frames(), document.buffer.frameCount);
}

// What is no MP3 is refused with its reason and leaves nothing, not even the sound a buffer held.
TEST_F(Mp3Test, FilesThatAreNotMp3sFailWithAReason)
{
    std::mt19937 random(12345);
    std::vector<unsigned char> noise(300000);
    for (auto& byte : noise)
        byte = static_cast<unsigned char>(random());
    WriteFileBytes(PathOf("random.mp3"), noise);
    fs::rename(MakeWav("tone.wav", 2, 44100, 1.0), PathOf("tone.mp3"));
    WriteFileBytes(PathOf("empty.mp3"), {});
    ASSERT_EQ(::mkfifo(PathOf("pipe.mp3").c_str(), 0600), 0);
    const std::pair<fs::path, const char*> cases[] = {
        {PathOf("random.mp3"), "not an MP3 file (no MPEG audio frames)"},
        {PathOf("tone.mp3"), "not an MP3 file (no MPEG audio frames)"},
        {PathOf("empty.mp3"), "empty file"},
        {PathOf("missing.mp3"), "No such file or directory"},
        {PathOf("pipe.mp3"), "not a regular file"},  // a FIFO without a writer would block open()
        {Dir(), "Is a directory"},
        {fs::path(), "No such file or directory"},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path);
        Mp3Document document;
        Progress progress(100);
        EXPECT_EQ(document.LoadMp3(path, &progress), 0);
        EXPECT_TRUE(document.buffer.IsEmpty());
        EXPECT_TRUE(TempFiles().empty()) << "a temporary file was left";

        Mp3Decoder decoder;
        SoundBuffer buffer;
        ASSERT_EQ(buffer.CreateSilent(true, 100, 8000), 1);
        ClearLastFailure();
        EXPECT_EQ(decoder.DecodeInto(buffer, path, nullptr), 0);
        EXPECT_EQ(LastFailure().text, reason);
        EXPECT_TRUE(buffer.IsEmpty());
        EXPECT_FALSE(decoder.IsOpen());
        EXPECT_TRUE(TempFiles().empty());
    }
    Mp3Decoder decoder;
    EXPECT_EQ(decoder.Open(PathOf("missing.mp3")), 0);
    EXPECT_FALSE(decoder.IsOpen());
}

// Bytes this process has read with read() and pread() so far (the kernel's own count).
uint64_t BytesReadByThisProcess()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:")
            return value;
    }
    return 0;
}

// A long import holds no copy beside its stores, and a cancel or a source that shrinks under it ends
// it cleanly, the length scan of a large file included.
TEST_F(Mp3Test, ALongImportHoldsOnlyItsStoresAndStopsCleanly)
{
    const fs::path mp3 = MakeMp3("long.mp3", 2, 44100, 60.0, "-V 4");
    ASSERT_GT(fs::file_size(mp3), 2u * kStreamWindowBytes) << "the lost half must lie beyond the first read window";
    Mp3Document document;
    TempFileWatch watch([this] { return TempFiles().size(); });
    ASSERT_EQ(document.LoadMp3(mp3, &watch), 1);
    EXPECT_EQ(watch.most, 2u) << "no 16-bit copy of the sound beside its two stores";

    for (uint32_t at : {50u, 600u}) {  // while decoding (the first half of the bar) and while importing
        SCOPED_TRACE(at);
        CancelAt progress(1000, at);
        EXPECT_EQ(document.LoadMp3(mp3, &progress), 0);
        EXPECT_TRUE(progress.IsCancelled());
        EXPECT_TRUE(progress.IsFailed());
        ASSERT_FALSE(progress.positions.empty());
        if (at < 500) {
            EXPECT_LT(progress.positions.back(), 500u) << "the cancellation should land while decoding";
        }
        EXPECT_TRUE(document.buffer.IsEmpty());
        EXPECT_TRUE(TempFiles().empty());
    }

    // The scan reads the whole file before decoding starts: a cancel heard by the 50th poll ends it long
    // before the end of 20 joined copies (about 15 MB).
    const auto bytes = ReadFileBytes(mp3);
    std::vector<unsigned char> joined;
    for (int k = 0; k < 20; ++k)
        joined.insert(joined.end(), bytes.begin(), bytes.end());
    WriteFileBytes(PathOf("large.mp3"), joined);
    ASSERT_GT(BytesReadByThisProcess(), 0u) << "needs /proc/self/io";
    Mp3Decoder decoder;
    SoundBuffer buffer;
    CancelAtPoll polls(50, 1000);
    ClearLastFailure();
    const uint64_t before = BytesReadByThisProcess();
    EXPECT_EQ(decoder.DecodeInto(buffer, PathOf("large.mp3"), &polls), 0);
    EXPECT_EQ(LastFailure().kind, FailureKind::Cancelled);
    EXPECT_LT(BytesReadByThisProcess() - before, joined.size() / 8) << "the scan went on after the cancel";

    // Cut to half once decoding has begun: reading on into the lost half must not pass for the end.
    TruncatingProgress shrink(1000, mp3, fs::file_size(mp3) / 2);
    ClearLastFailure();
    EXPECT_EQ(document.LoadMp3(mp3, &shrink), 0);
    EXPECT_TRUE(shrink.HasTruncated());
    EXPECT_EQ(LastFailure().text, "the file shrank while it was read");
    EXPECT_TRUE(shrink.IsFailed());
    EXPECT_TRUE(document.buffer.IsEmpty());
    EXPECT_TRUE(TempFiles().empty());
}

// --- Export ---------------------------------------------------------------------------------------

TEST_F(Mp3Test, SavesDecodeToTheSoundsShape)
{
    for (int channels : {2, 1}) {
        SCOPED_TRACE(channels);
        Mp3Document document;
        LoadWavInto(document.buffer, MakeWav("source.wav", channels, 44100, 6.0));
        const fs::path mp3 = PathOf("Сохранено (1).mp3");
        CancelAt progress(400, 401);
        ASSERT_EQ(document.SaveMp3(mp3, &progress), 1);
        EXPECT_EQ(progress.Position(), 400u);
        EXPECT_FALSE(progress.IsFailed());
        EXPECT_GT(progress.positions.size(), 2u);
        EXPECT_TRUE(std::is_sorted(progress.positions.begin(), progress.positions.end()));
        ExpectExportDecodesToSameShape(document.buffer, mp3);
        if (HasTool("ffprobe")) {
            EXPECT_EQ(Output("ffprobe -v error -show_entries stream=channel_layout -of csv=p=0 " + Quoted(mp3)),
                      channels == 2 ? "stereo\n" : "mono\n");
        }
        EXPECT_EQ(TempFiles().size(), 1u) << "only the copy of the source's samples remains";
    }
    // Widening 8 to 16 bits is exact (no dither): the encoder sees the same 16-bit input.
    const fs::path wav8 = MakeWav("eight.wav", 2, 44100, 3.0, 8), wav16 = PathOf("sixteen.wav");
    ASSERT_EQ(RunCommand("sox -D " + Quoted(wav8) + " -b 16 " + Quoted(wav16)), 0);
    Mp3Document eight, sixteen;
    LoadWavInto(eight.buffer, wav8);
    LoadWavInto(sixteen.buffer, wav16);
    ASSERT_EQ(eight.buffer.format.bitsPerSample, 8);
    ASSERT_EQ(sixteen.buffer.format.bitsPerSample, 16);
    ASSERT_EQ(eight.SaveMp3(PathOf("eight.mp3"), nullptr), 1);
    ASSERT_EQ(sixteen.SaveMp3(PathOf("sixteen.mp3"), nullptr), 1);
    EXPECT_GT(ReadFileBytes(PathOf("eight.mp3")).size(), 10000u);
    EXPECT_TRUE(ReadFileBytes(PathOf("eight.mp3")) == ReadFileBytes(PathOf("sixteen.mp3")));
}

// The encoder library: found beside the executable first, passed over when it is another library or
// none, and without its info-frame call writing the same audio after a header of its own.
TEST_F(Mp3Test, TheEncoderLibraryIsSoughtBesideTheExecutableFirst)
{
    const std::vector<std::string> candidates = Mp3Encoder::DefaultLibraryCandidates();
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0], (fs::read_symlink("/proc/self/exe").parent_path() / "libmp3lame.so.0").string());
    EXPECT_EQ(candidates[1], "libmp3lame.so.0");
    EXPECT_EQ(Mp3Encoder::LibraryPathIn("/opt//brindle/./bin/"), "/opt/brindle/bin/libmp3lame.so.0");
    EXPECT_EQ(Mp3Encoder::LibraryPathIn("/opt/brindle/bin/../lib"), "/opt/brindle/lib/libmp3lame.so.0");

    const Mp3Encoder system({"libmp3lame.so.0"});
    ASSERT_TRUE(system.IsLoaded()) << "the encoder library is not installed";
    const fs::path folder = PathOf("Папка программы");
    fs::create_directories(folder);
    fs::copy_file(system.LibraryPath(), folder / "libmp3lame.so.0");
    Mp3Encoder local({Mp3Encoder::LibraryPathIn(folder), "libmp3lame.so.0"});
    ASSERT_TRUE(local.IsLoaded());
    EXPECT_EQ(fs::path(local.LibraryPath()), folder / "libmp3lame.so.0");
    SoundBuffer sound;
    LoadWavInto(sound, MakeWav("source.wav", 2, 44100, 3.0));
    ASSERT_EQ(local.EncodeToMp3(PathOf("local.mp3"), sound, nullptr), 1);
    ExpectExportDecodesToSameShape(sound, PathOf("local.mp3"));

    // Without the info-frame call (and then in one piece whatever the ranges asked): the same frames.
    Mp3Encoder older({"libmp3lame.so.0"}, false);
    ASSERT_TRUE(older.IsLoaded());
    older.SetRangeCount(4);
    ASSERT_EQ(older.EncodeToMp3(PathOf("older.mp3"), sound, nullptr), 1);
    EXPECT_EQ(older.RangesUsed(), 1u);
    ExpectExportDecodesToSameShape(sound, PathOf("older.mp3"));
    ASSERT_EQ(Mp3Encoder::Instance().EncodeToMp3(PathOf("newer.mp3"), sound, nullptr), 1);
    const auto a = ReadFileBytes(PathOf("older.mp3")), b = ReadFileBytes(PathOf("newer.mp3"));
    ASSERT_EQ(a.size(), b.size());
    const size_t header = WalkMp3Frames(PathOf("newer.mp3")).firstFrame.size();
    EXPECT_TRUE(std::equal(a.begin() + header, a.end(), b.begin() + header));
    older.SetRangeCount(1);
    ASSERT_EQ(older.EncodeToMp3(PathOf("one.mp3"), sound, nullptr), 1);
    EXPECT_TRUE(ReadFileBytes(PathOf("one.mp3")) == a);

    Mp3Encoder missing({(Dir() / "nowhere" / "libmp3lame.so.0").string(), "libbrindle-no-such-encoder.so.0"});
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_EQ(missing.LibraryPath(), "");
    Progress progress(100);
    ClearLastFailure();
    EXPECT_EQ(missing.EncodeToMp3(PathOf("out.mp3"), sound, &progress), 0);
    EXPECT_EQ(LastFailure().text, "the MP3 encoder library libmp3lame.so.0 was not found");
    EXPECT_TRUE(progress.IsFailed());
    EXPECT_EQ(missing.EncodeToMp3(PathOf("out.mp3"), sound, nullptr), 0);
    EXPECT_FALSE(fs::exists(PathOf("out.mp3")));

    WriteFileBytes(PathOf("libmp3lame.so.0"), {'n', 'o', 't', ' ', 'E', 'L', 'F'});
    Mp3Encoder fallback({Mp3Encoder::LibraryPathIn(Dir()), "libmp3lame.so.0"});
    EXPECT_TRUE(fallback.IsLoaded());
    EXPECT_NE(fs::path(fallback.LibraryPath()), PathOf("libmp3lame.so.0"));

    Mp3Encoder other({"libc.so.6"});
    EXPECT_FALSE(other.IsLoaded());
    ClearLastFailure();
    EXPECT_EQ(other.EncodeToMp3(PathOf("out.mp3"), sound, nullptr), 0);
    EXPECT_EQ(LastFailure().text.rfind("the MP3 encoder library /", 0), 0u) << LastFailure().text;
    EXPECT_NE(LastFailure().text.find("libc.so.6 lacks lame_init"), std::string::npos) << LastFailure().text;
}

}  // namespace
}  // namespace brindle::test

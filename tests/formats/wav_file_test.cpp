// The WAV reader and writer: exact bytes written, the chunk walk's rules on hand-built files that no
// tool would write, cancellation and progress, and byte-exact round trips of files made by sox.
#include <optional>

#include <sys/stat.h>

#include "formats/truncating_progress.h"
#include "formats/wav_conversion.h"
#include "formats/wav_file.h"
#include "formats/wav_test_util.h"
#include "storage/mapped_file_stream.h"
#include "storage/sound_buffer.h"
#include "tasks/failure.h"

namespace brindle {
namespace {

using namespace test;
using Floats = std::vector<float>;
constexpr float k16 = 1.0f / 32768;

class WavFileTest : public TempDirTest {
protected:
    std::filesystem::path Write(const std::string& name, const Bytes& bytes)
    {
        WriteFileBytes(PathOf(name), bytes);
        return PathOf(name);
    }
    void Sox(const std::string& arguments) { ASSERT_EQ(RunCommand("sox " + arguments + " 2>/dev/null"), 0) << arguments; }
    // A failed load leaves the buffer empty and no temporary file, and says why when told.
    void ExpectFailure(int result, SoundBuffer& buffer, const char* why = nullptr)
    {
        EXPECT_EQ(std::tuple(result, buffer.IsEmpty(), TempFiles().empty()), std::tuple(0, true, true));
        EXPECT_EQ(LastFailure().text, why ? why : LastFailure().text);
        ClearLastFailure();
    }
};
Floats Samples(SoundBuffer& buffer, int channel) { return ReadStore(buffer.channels.Channel(channel)); }

TEST_F(WavFileTest, WritesTheCanonicalHeaderPadByteAndSamplesAndReadsThemBack)
{
    const struct {
        int bits;
        Floats left = {}, right = {};
        Bytes data;  // the data chunk's payload
        Floats leftBack;
    } cases[] = {{16, {0.5f, -0.25f, 1.0f}, {-1.0f, 0.0f, k16}, Le16Samples({16384, -32768, -8192, 0, 32767, 1}),
                  {0.5f, -0.25f, 32767 * k16}},
                 {8, {0.5f, -1.0f, 0.0f}, {}, {192, 0, 128}, {0.5f, -1.0f, 0.0f}}};  // a pad byte the RIFF size counts
    for (const auto& c : cases) {
        const bool stereo = !c.right.empty();
        const uint32_t rate = stereo ? 44100 : 8000;
        SoundBuffer buffer, loaded;
        ASSERT_EQ(buffer.CreateSilent(stereo, 3, rate), 1);
        if (c.bits == 8)
            buffer.format.bitsPerSample = 8, buffer.format.blockAlign = 1, buffer.format.avgBytesPerSecond = 8000, buffer.dataByteCount = 3;
        FillStore(buffer.channels.Channel(0), c.left);
        if (stereo)
            FillStore(buffer.channels.Channel(1), c.right);
        ASSERT_EQ(SaveWav(buffer, PathOf("out.wav"), nullptr), 1);
        EXPECT_EQ(ReadFileBytes(PathOf("out.wav")), RiffWave({FmtChunk(1, stereo ? 2 : 1, rate, uint16_t(c.bits)), Chunk("data", c.data)}));
        ASSERT_EQ(LoadWav(loaded, PathOf("out.wav"), nullptr), 1);
        EXPECT_EQ(std::tuple(loaded.frameCount, Samples(loaded, 0)), std::tuple(3u, c.leftBack)) << c.bits;
    }
}

TEST_F(WavFileTest, SaveFailuresSayWhyAndARefusedBufferLeavesTheFileAlone)
{
    const Bytes original = {1, 2, 3, 4, 5};
    const auto keep = Write("keep.wav", original);
    SoundBuffer empty, float64, big;
    ASSERT_EQ(float64.CreateSilent(false, 10, 8000), 1);  // in a format the writer does not write
    float64.format.formatTag = 3, float64.format.bitsPerSample = 64, float64.format.blockAlign = 8;
    float64.format.avgBytesPerSecond = 64000;
    ASSERT_TRUE(float64.HasSound());
    ASSERT_EQ(big.CreateSilent(true, 100000, 44100), 1);
    test::FileSizeLimit limit(100000);  // the sound needs 400,044 bytes
    const struct {
        SoundBuffer* sound;
        std::filesystem::path path;
        FailureKind kind;
        const char* text;  // null: any
    } cases[] = {{&empty, keep, FailureKind::Format, "no sound to write"},
                 {&float64, keep, FailureKind::Format, nullptr},
                 {&big, PathOf("no-such-folder") / "out.wav", FailureKind::System, "No such file or directory"},
                 {&big, PathOf("full.wav"), FailureKind::System, "File too large"}};
    for (const auto& c : cases) {
        Progress progress(100);
        ClearLastFailure();
        EXPECT_EQ(SaveWav(*c.sound, c.path, &progress), 0);
        EXPECT_EQ(std::tuple(progress.IsFailed(), LastFailure().kind), std::tuple(true, c.kind));
        EXPECT_EQ(LastFailure().text, c.text ? c.text : LastFailure().text);
        EXPECT_EQ(ReadFileBytes(keep), original) << c.path;
    }
    // The file grows by 4096 bytes first; an uncut file would end in zeros no reader expects. Made
    // immutable the first time the bar moves, it cannot be cut, as on a file system that refuses it.
    SoundBuffer buffer;
    ASSERT_EQ(buffer.CreateSilent(false, 2000, 8000), 1);
    std::optional<ImmutableFile> frozen;
    TempFileWatch progress([&] { return frozen ? 0 : (frozen.emplace(PathOf("frozen.wav")), 0); });
    ClearLastFailure();
    const int result = SaveWav(buffer, PathOf("frozen.wav"), &progress);
    if (!frozen || !frozen->IsSet())
        GTEST_SKIP() << "this file system cannot mark files immutable";
    EXPECT_EQ(std::tuple(result, LastFailure().text, progress.IsFailed()), std::tuple(0, "Operation not permitted", true));
}

// Hand-built files: the samples of each channel of what loads (none for a file without sound), and
// what fails, in the reader, the header reader and the direct stream reader alike.
TEST_F(WavFileTest, TheChunkWalkFollowsItsRules)
{
    ClearLastFailure();
    const Bytes fmt8 = FmtChunk(1, 1, 8000, 8), st16 = FmtChunk(1, 2, 8000, 16), data4 = Chunk("data", Le16Samples({1, 2, 3, 4}));
    const Bytes clean = RiffWave({FmtChunk(1, 1, 8000, 16), Chunk("data", Le16Samples({1, 2, 3}))});
    Bytes partial = Le16Samples({1000, -1000, 2000, -2000});  // 2.5 frames of 16-bit stereo
    partial.push_back(0x7F);
    const struct {
        const char* label;
        Bytes bytes;
        int result;
        Floats left = {}, right = {};
        int info = 0;  // ReadWavInfo's result where the load fails: 1 when only what follows the data is wrong
    } cases[] = {
        {"fmt of 18 bytes", RiffWave({FmtChunk(1, 1, 8000, 16, 2), Chunk("data", Le16Samples({100, -100, 16384, -32768}))}),
         1, {100 * k16, -100 * k16, 0.5f, -1.0f}},
        {"odd chunks skipped with their pad byte",
         RiffWave({fmt8, Chunk("XxXx", {7, 7, 7}), Chunk("data", {0, 128, 255}), Chunk("note", {1})}), 1, {-1.0f, 0.0f, 127 / 128.0f}},
        {"data size past the end, 8-bit", RiffWave({fmt8, Chunk("data", {0, 64, 192, 255}, 10)}), 1, {-1.0f, -0.5f, 0.5f, 127 / 128.0f}},
        {"data size past the end, stereo", RiffWave({st16, Chunk("data", partial, 40)}), 1, {1000 * k16, 2000 * k16},
         {-1000 * k16, -2000 * k16}},
        {"streaming writer's data size 0xFFFFFFFF", RiffWave({st16, Chunk("data", Le16Samples({5, 6, 7, 8, 9, 10}), 0xFFFFFFFF)}),
         1, {5 * k16, 7 * k16, 9 * k16}, {6 * k16, 8 * k16, 10 * k16}},
        {"walk goes on from the end of a partial frame",
         RiffWave({st16, Chunk("data", Le16Samples({1, 2, 3, 4, 0x909})), Chunk("LIST", Bytes(6, 'x'))}), 1, {k16, 3 * k16}, {2 * k16, 4 * k16}},
        {"same fmt again after the data", RiffWave({st16, data4, st16}), 1, {k16, 3 * k16}, {2 * k16, 4 * k16}},
        {"ends after the fmt chunk", RiffWave({FmtChunk(1, 2, 44100, 16)}), 1, {}},
        {"clean", clean, 1, {k16, 2 * k16, 3 * k16}},
        {"RIFF and WAVE only", RiffWave({}), 0},
        {"empty LIST before data", RiffWave({fmt8, Chunk("LIST", {}), Chunk("data", {1, 2, 3, 4})}), 0},
        {"empty junk after data", RiffWave({fmt8, Chunk("data", {1, 2, 3, 4}), Chunk("junk", {})}), 0, {}, {}, 1},
        {"empty fmt", RiffWave({Chunk("fmt ", {}), Chunk("data", {1, 2, 3, 4})}), 0},
        {"stereo samples relabelled mono", RiffWave({st16, data4, fmt8}), 0, {}, {}, 1},
        {"block align 0, PCM", RiffWave({FmtChunk(1, 1, 8000, 16, 0, 0, 16000), Chunk("data", Bytes(8, 1))}), 0},
        {"block align 0, float", RiffWave({FmtChunk(3, 1, 8000, 16, 0, 0, 16000), Chunk("data", Bytes(8, 1))}), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const auto path = Write("walk.wav", c.bytes);
        SoundBuffer buffer, header, direct;
        Progress progress(100);
        MappedFileStream stream;
        ASSERT_EQ(stream.OpenForReading(path), 1);
        EXPECT_EQ(ReadWavStream(stream, direct, direct.channels, nullptr), c.result);
        EXPECT_EQ(ReadWavInfo(path, header), c.result ? 1 : c.info);
        if (c.result == 0) {
            ExpectFailure(LoadWav(buffer, path, &progress), buffer);
            EXPECT_TRUE(progress.IsFailed());
            continue;
        }
        ASSERT_EQ(LoadWav(buffer, path, &progress), 1);
        EXPECT_EQ(std::tuple(progress.Position(), buffer.frameCount, header.frameCount, buffer.HasSound(), buffer.channels.IsEmpty()),
                  std::tuple(100u, c.left.size(), c.left.size(), !c.left.empty(), c.left.empty()));
        EXPECT_TRUE(buffer.format.extraBytes.empty());
        EXPECT_EQ(buffer.format.extraSize, 0) << "the fmt chunk's extra bytes are skipped, not kept";
        EXPECT_EQ(c.left.empty() ? c.left : Samples(buffer, 0), c.left);
        EXPECT_EQ(c.right.empty() ? c.right : Samples(buffer, 1), c.right);
        buffer.Clear(), direct.Clear();
        EXPECT_TRUE(TempFiles().empty());
    }
    for (size_t stray = 1; stray <= 7; ++stray) {
        Bytes bytes = clean;
        bytes.insert(bytes.end(), stray, 'z');
        SoundBuffer buffer;
        ExpectFailure(LoadWav(buffer, Write("stray.wav", bytes), nullptr), buffer);
    }
    // Bits per sample of 0 or 1 fail once the data chunk is reached; GSM 6.10 and MPEG audio, which
    // leave it at 0, are covered by real files elsewhere.
    for (const auto& [tag, bits] : {std::pair<uint16_t, uint16_t>{1, 0}, {1, 1}, {3, 1}, {7, 0}, {0xFFFE, 0}}) {
        SCOPED_TRACE(testing::Message() << "tag " << tag << " bits " << bits);
        const Bytes fmt = FmtChunk(tag, 1, 8000, bits, 0, 2);
        SoundBuffer buffer, header;
        ExpectFailure(LoadWav(buffer, Write("bits.wav", RiffWave({fmt, Chunk("data", Bytes(8, 0))})), nullptr), buffer);
        EXPECT_EQ(ReadWavInfo(PathOf("bits.wav"), header), 0);
        EXPECT_TRUE(header.format.IsZero());
        EXPECT_EQ(ReadWavInfo(Write("nodata.wav", RiffWave({fmt})), header), 1) << "without data the format is never tested";
        EXPECT_EQ(header.format.bitsPerSample, bits);
    }
}

TEST_F(WavFileTest, DeclaredDataSizeIsCutToTheBytesTheFileHoldsAndWidePcmIsConverted)
{
    // sox's 10,000 frames of 16-bit stereo claiming 2 GiB: neither 536,870,912 frames nor 2 GB saved.
    Sox("-n -r 8000 -c 2 -b 16 " + Quoted(PathOf("made.wav")) + " synth 1.25 sine 440 vol 0.5");
    Bytes bytes = ReadFileBytes(PathOf("made.wav"));
    const size_t data = std::string(bytes.begin(), bytes.end()).find("data");
    ASSERT_EQ(Le32At(bytes, data + 4), 40000u);
    PutLe32At(bytes, data + 4, 0x80000000u);
    const auto claims = Write("claims.wav", bytes);
    // A read-only file loads, and loading never changes it.
    ASSERT_EQ(::chmod(claims.c_str(), 0444), 0);
    struct stat statBefore {}, statAfter {};
    ASSERT_EQ(::stat(claims.c_str(), &statBefore), 0);
    SoundBuffer header, original, buffer;
    ASSERT_EQ(ReadWavInfo(claims, header), 1);
    EXPECT_EQ(std::tuple(header.frameCount, header.dataByteCount), std::tuple(10000u, 40000u));
    ASSERT_EQ(LoadWav(original, PathOf("made.wav"), nullptr), 1);
    ASSERT_EQ(LoadWav(buffer, claims, nullptr), 1);
    EXPECT_EQ(std::tuple(buffer.frameCount, buffer.channels.FrameCount()), std::tuple(10000u, 10000u));
    EXPECT_EQ(Samples(buffer, 1), Samples(original, 1));
    ASSERT_EQ(::stat(claims.c_str(), &statAfter), 0);
    EXPECT_EQ(ReadFileBytes(claims), bytes);
    EXPECT_EQ(std::tuple(statAfter.st_mtim.tv_sec, statAfter.st_mtim.tv_nsec), std::tuple(statBefore.st_mtim.tv_sec, statBefore.st_mtim.tv_nsec));
    ASSERT_EQ(SaveWav(buffer, PathOf("saved.wav"), nullptr), 1);
    EXPECT_EQ(std::filesystem::file_size(PathOf("saved.wav")), 44u + 40000u);
    original.Clear(), buffer.Clear();

    // 24- and 32-bit PCM with tag 1 ("wavpcm"; sox would otherwise write WAVE_FORMAT_EXTENSIBLE): the
    // direct reader refuses them, LoadWav converts them and deletes the conversion file after.
    for (int bits : {24, 32}) {
        SCOPED_TRACE(bits);
        const auto path = PathOf("pcm.wav");
        Sox("-n -r 8000 -c 2 -b " + std::to_string(bits) + " -t wavpcm " + Quoted(path) + " synth 0.1 sine 440");
        ASSERT_EQ(ReadFileBytes(path)[20], 1) << "format tag";
        SoundBuffer direct, converted;
        MappedFileStream stream;
        ASSERT_EQ(stream.OpenForReading(path), 1);
        EXPECT_EQ(ReadWavStream(stream, direct, direct.channels, nullptr), 0);
        EXPECT_TRUE(direct.IsEmpty());
        ASSERT_EQ(LoadWav(converted, path, nullptr), 1);
        EXPECT_EQ(std::tuple(converted.format.formatTag, converted.format.bitsPerSample, converted.frameCount, converted.IsStereo()),
                  std::tuple(1, bits, 800u, true));
        converted.Clear();
        EXPECT_TRUE(TempFiles().empty());
    }
}

// About 5 blocks of 16-bit mono PCM, and the same as 32-bit float for the conversion: the progress on
// success, cancellation at each stage, and a source cut to half once it is open.
TEST_F(WavFileTest, ProgressCancellationAndAShrinkingSource)
{
    Sox("-n -r 44100 -c 1 -b 16 " + Quoted(PathOf("pcm.wav")) + " synth 24 sine 440");
    Sox("-n -r 44100 -c 1 -e floating-point -b 32 " + Quoted(PathOf("float.wav")) + " synth 24 sine 440");
    ClearLastFailure();
    for (const char* name : {"pcm.wav", "float.wav"}) {
        SoundBuffer buffer;
        RecordingProgress progress(1000);
        ASSERT_EQ(LoadWav(buffer, PathOf(name), &progress), 1);
        EXPECT_EQ(std::tuple(progress.Position(), progress.IsFailed(), progress.IsMonotonic()), std::tuple(1000u, false, true));
        // PCM skips the first 200 units and reads block by block; a conversion decodes over the whole range.
        const auto& positions = progress.Positions();
        EXPECT_GE(std::count_if(positions.begin(), positions.end(), [](uint32_t p) { return p > 200 && p < 1000; }), 3) << name;
        EXPECT_EQ(buffer.frameCount, 44100u * 24);
    }
    for (const auto& [name, cancelAt] : {std::pair{"pcm.wav", 500u}, {"float.wav", 100u}, {"float.wav", 600u}, {"pcm.wav", 1u}}) {
        SCOPED_TRACE(testing::Message() << name << " cancelled at " << cancelAt);
        SoundBuffer buffer;
        RecordingProgress progress(1000, cancelAt);
        if (cancelAt == 1)
            progress.Cancel();  // before the load begins
        const int result = LoadWav(buffer, PathOf(name), &progress);
        EXPECT_TRUE(LastFailure().kind == FailureKind::Cancelled && progress.IsCancelled() && progress.IsFailed() && progress.Position() < 1000u);
        ExpectFailure(result, buffer, "cancelled");
    }
    for (const char* name : {"pcm.wav", "float.wav"}) {
        TruncatingProgress progress(1000, PathOf(name), std::filesystem::file_size(PathOf(name)) / 2);
        SoundBuffer buffer;
        ExpectFailure(LoadWav(buffer, PathOf(name), &progress), buffer, "the file shrank while it was read");
        EXPECT_TRUE(progress.HasTruncated() && progress.IsFailed()) << name;
    }
}

TEST_F(WavFileTest, LoadFailuresSayWhyAndEmptyTheBuffer)
{
    // A FIFO with no writer blocks a plain open() for ever; a device reads for ever or not at all.
    const auto fifo = PathOf("pipe.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::filesystem::path path;
        FailureKind kind;
        const char* text;
    } cases[] = {{PathOf("absent.wav"), FailureKind::System, "No such file or directory"},
                 {Dir(), FailureKind::System, "Is a directory"},
                 {fifo, FailureKind::Format, "not a regular file"},
                 {"/dev/zero", FailureKind::Format, "not a regular file"},
                 {Write("riff.wav", RiffWave({})), FailureKind::Format, "no chunks after the RIFF header"},
                 {Write("text.wav", Bytes(100, 'x')), FailureKind::Format, "not a WAV file (no RIFF header)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        SoundBuffer buffer;
        ASSERT_EQ(buffer.CreateSilent(true, 100, 8000), 1);
        const int result = LoadWav(buffer, c.path, nullptr);
        EXPECT_EQ(LastFailure().kind, c.kind);
        ExpectFailure(result, buffer, c.text);
    }
    SoundBuffer buffer;  // the decoder of other encodings opens its source itself
    ExpectFailure(DecodeWavInto(buffer, fifo, nullptr), buffer, "not a regular file");
}

TEST_F(WavFileTest, FilesMadeBySoxSurviveLoadAndSaveByteForByte)
{
    const struct {
        const char* options;  // sox's; at its 48 kHz, 300001s resample to 137813 frames: a pad byte at 8 or 24 bits mono
        const char* length;
        const char* volume;
        uint16_t tag;  // what the saved file states
        int bits;
        const char* then = "";  // sox's options for a second file made from the first
    } cases[] = {
        {"-c 1 -b 8 -e unsigned", "300001s", "0.9", 1, 8}, {"-c 2 -b 8 -e unsigned", "300000s", "0.9", 1, 8},
        {"-c 1 -b 16 -e signed", "300000s", "0.9", 1, 16}, {"-c 2 -b 16 -e signed", "270001s", "0.9", 1, 16},
        // sox writes 24 and 32 bits as WAVE_FORMAT_EXTENSIBLE; they come back with tags 1 and 3.
        {"-c 1 -b 24", "300001s", "0.9", 1, 24},
        {"-c 2 -b 24", "270001s", "-105dB", 1, 24},  // all below half a 16-bit step
        {"-c 2 -e floating-point -b 32", "270001s", "0.9", 3, 32},
        // Made from a float file, every 32-bit sample is one a float holds, and must come back exactly.
        {"-c 1 -e floating-point -b 32", "300001s", "0.9", 1, 32, "-e signed -b 32"},
    };
    const auto in = PathOf("in.wav"), out = PathOf("out.wav");
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.options << " vol " << c.volume << " then " << c.then);
        const auto first = *c.then ? PathOf("first.wav") : in;
        Sox("-n -r 22050 " + std::string(c.options) + " " + Quoted(first) + " synth " + c.length + " sine 300 sine 3000 vol " + c.volume);
        if (*c.then)
            Sox(Quoted(first) + " " + c.then + " " + Quoted(in));
        SoundBuffer buffer;
        ASSERT_EQ(LoadWav(buffer, in, nullptr), 1);
        ASSERT_EQ(SaveWav(buffer, out, nullptr), 1);
        const Bytes originalData = ChunkPayload(ReadFileBytes(in), "data"), saved = ReadFileBytes(out);
        ASSERT_FALSE(originalData.empty());
        EXPECT_TRUE(ChunkPayload(saved, "data") == originalData) << "sample data differs";
        const size_t header = c.tag == 3 ? 58 : 44;  // float: "fmt " of 18 bytes and a "fact" chunk
        EXPECT_EQ(saved.size(), header + originalData.size() + originalData.size() % 2);
        EXPECT_EQ(std::tuple(saved[20] | saved[21] << 8, saved[22], saved[34]), std::tuple(c.tag, buffer.format.channelCount, c.bits));
        int loudest = 0;
        for (size_t at = 0; c.volume[0] == '-' && at + 3 <= originalData.size(); at += 3)
            loudest = std::max(loudest, std::abs(int32_t(uint32_t(originalData[at]) << 8 | uint32_t(originalData[at + 1]) << 16 |
                                                         uint32_t(originalData[at + 2]) << 24) >> 8));
        if (c.volume[0] == '-') {
            EXPECT_TRUE(loudest > 0 && loudest < 128) << "a tone 16 bits would have rounded to silence: " << loudest;
        }
    }
    // Straight from sox's synthesis, 32-bit samples come back as the nearest float holds them.
    Sox("-n -r 22050 -c 2 -e signed -b 32 " + Quoted(in) + " synth 2 sine 300 sine 3000 vol 0.9");
    SoundBuffer buffer;
    ASSERT_EQ(LoadWav(buffer, in, nullptr), 1);
    ASSERT_EQ(SaveWav(buffer, out, nullptr), 1);
    const Bytes originalData = ChunkPayload(ReadFileBytes(in), "data"), savedData = ChunkPayload(ReadFileBytes(out), "data");
    ASSERT_EQ(originalData.size(), 44100u * 8);
    ASSERT_EQ(savedData.size(), originalData.size());
    size_t rounded = 0;
    for (size_t at = 0; at < originalData.size(); at += 4) {
        const auto s = int32_t(Le32At(originalData, at));
        const int64_t nearest = std::min<int64_t>(int64_t(float(s)), INT32_MAX);
        ASSERT_EQ(int32_t(Le32At(savedData, at)), nearest) << "sample " << at / 4 << " was " << s;
        rounded += nearest != s;
    }
    EXPECT_GT(rounded, 0u) << "sox's tones did use more bits than a float holds";
}

}  // namespace
}  // namespace brindle

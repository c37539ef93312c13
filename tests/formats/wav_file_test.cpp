// The WAV reader and writer: exact bytes written, the chunk walk's rules on hand-built files that no
// tool would write, cancellation and progress, and byte-exact round trips of files made by sox.
#include <gtest/gtest.h>

#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "formats/wav_conversion.h"
#include "formats/truncating_progress.h"
#include "formats/wav_file.h"
#include "formats/wav_test_util.h"
#include "storage/mapped_file_stream.h"
#include "storage/sound_buffer.h"
#include "storage/unique_fd.h"
#include "support/test_support.h"
#include "tasks/failure.h"

namespace brindle {
namespace {

using test::AppendLe16;
using test::AppendLe32;
using test::Bytes;
using test::Chunk;
using test::ChunkWithSize;
using test::FmtChunk;
using test::Quoted;
using test::RawFmtChunk;
using test::RecordingProgress;
using test::RiffWave;

class WavFileTest : public test::TempDirTest {
protected:
    std::filesystem::path Write(const std::string& name, const Bytes& bytes)
    {
        const auto path = PathOf(name);
        test::WriteFileBytes(path, bytes);
        return path;
    }

    // A failed load: result 0, nothing left in the buffer, no temporary file in the folder.
    void ExpectFailedLoad(const std::filesystem::path& path, const std::string& why)
    {
        SoundBuffer buffer;
        EXPECT_EQ(LoadWav(buffer, path, nullptr), 0) << why;
        EXPECT_TRUE(buffer.IsEmpty()) << why;
        EXPECT_TRUE(TempFiles().empty()) << why;
    }

    static std::vector<float> Samples(SoundBuffer& buffer, int channel)
    {
        return test::ReadStore(buffer.channels.Channel(channel));
    }

    void Sox(const std::string& arguments)
    {
        ASSERT_EQ(test::RunCommand("sox " + arguments + " 2>/dev/null"), 0) << "sox " << arguments;
    }
};

Bytes Le16Samples(const std::vector<int16_t>& samples)
{
    Bytes bytes;
    for (int16_t s : samples)
        AppendLe16(bytes, uint16_t(s));
    return bytes;
}

// --- Writing ---------------------------------------------------------------------------------

TEST_F(WavFileTest, WritesThreeFrameStereo16BitSoundAs56Bytes)
{
    SoundBuffer buffer;
    ASSERT_EQ(buffer.CreateSilent(true, 3, 44100), 1);
    test::FillStore(buffer.channels.Channel(0), {0.5f, -0.25f, 1.0f});
    test::FillStore(buffer.channels.Channel(1), {-1.0f, 0.0f, 1.0f / 32768.0f});
    const auto path = PathOf("out.wav");
    ASSERT_EQ(SaveWav(buffer, path, nullptr), 1);

    Bytes expected = {'R', 'I', 'F', 'F'};
    AppendLe32(expected, 48);
    for (char c : std::string("WAVEfmt "))
        expected.push_back(uint8_t(c));
    AppendLe32(expected, 16);
    AppendLe16(expected, 1);
    AppendLe16(expected, 2);
    AppendLe32(expected, 44100);
    AppendLe32(expected, 176400);
    AppendLe16(expected, 4);
    AppendLe16(expected, 16);
    for (char c : std::string("data"))
        expected.push_back(uint8_t(c));
    AppendLe32(expected, 12);
    const Bytes data = Le16Samples({16384, -32768, -8192, 0, 32767, 1});
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(test::ReadFileBytes(path), expected);
}

TEST_F(WavFileTest, WritesThreeFrameMono8BitSoundWithPadByteAndReadsItBack)
{
    SoundBuffer buffer;
    ASSERT_EQ(buffer.CreateSilent(false, 3, 8000), 1);
    buffer.format.bitsPerSample = 8;
    buffer.format.blockAlign = 1;
    buffer.format.avgBytesPerSecond = 8000;
    buffer.dataByteCount = 3;
    test::FillStore(buffer.channels.Channel(0), {0.5f, -1.0f, 0.0f});
    const auto path = PathOf("out8.wav");
    ASSERT_EQ(SaveWav(buffer, path, nullptr), 1);

    const Bytes bytes = test::ReadFileBytes(path);
    ASSERT_EQ(bytes.size(), 44u + 3 + 1);
    EXPECT_EQ(test::Le32At(bytes, 4), 40u) << "RIFF size counts the pad byte";
    EXPECT_EQ(test::Le32At(bytes, 40), 3u) << "data size does not";
    EXPECT_EQ(bytes[32], 1) << "block align";
    EXPECT_EQ(bytes[34], 8) << "bits";
    EXPECT_EQ(Bytes(bytes.begin() + 44, bytes.end()), (Bytes{192, 0, 128, 0}));

    SoundBuffer loaded;
    ASSERT_EQ(LoadWav(loaded, path, nullptr), 1);
    EXPECT_EQ(loaded.frameCount, 3u);
    EXPECT_EQ(Samples(loaded, 0), (std::vector<float>{0.5f, -1.0f, 0.0f}));
}

TEST_F(WavFileTest, SaveRefusesABufferWithoutSoundAndLeavesTheFileAlone)
{
    const Bytes original = {1, 2, 3, 4, 5};
    const auto path = Write("keep.wav", original);
    SoundBuffer empty;
    EXPECT_EQ(SaveWav(empty, path, nullptr), 0);
    EXPECT_EQ(test::ReadFileBytes(path), original);

    SoundBuffer float64;  // a format the writer does not write
    ASSERT_EQ(float64.CreateSilent(false, 10, 8000), 1);
    float64.format.formatTag = 3;
    float64.format.bitsPerSample = 64;
    float64.format.blockAlign = 8;
    float64.format.avgBytesPerSecond = 64000;
    ASSERT_TRUE(float64.HasSound());
    Progress progress(100);
    EXPECT_EQ(SaveWav(float64, path, &progress), 0);
    EXPECT_TRUE(progress.IsFailed());
    EXPECT_EQ(test::ReadFileBytes(path), original);
}

// Makes a file immutable the first time the bar moves, so that the save's final cut of the file
// (ftruncate) fails as it does on a file system that refuses it; the flag is cleared again on
// destruction so the test folder can go.
class FreezingProgress final : public Progress {
public:
    FreezingProgress(uint32_t range, std::filesystem::path path) : Progress(range), path_(std::move(path)) {}
    bool IsFrozen() const { return frozen_ && frozen_->IsSet(); }

protected:
    void OnPositionChanged() override
    {
        if (!frozen_)
            frozen_.emplace(path_);
    }

private:
    std::filesystem::path path_;
    std::optional<test::ImmutableFile> frozen_;
};

TEST_F(WavFileTest, SaveFailsWhenTheFileCannotBeCutToItsContent)
{
    // The file grows in steps (4096 bytes first); the cut back to 44 + 4000 bytes at close is what
    // fails here, which would leave zeros after the data that no reader expects.
    SoundBuffer buffer;
    ASSERT_EQ(buffer.CreateSilent(false, 2000, 8000), 1);
    const auto path = PathOf("frozen.wav");
    FreezingProgress progress(100, path);
    ClearLastFailure();
    const int result = SaveWav(buffer, path, &progress);
    if (!progress.IsFrozen())
        GTEST_SKIP() << "this file system cannot mark files immutable";
    EXPECT_EQ(result, 0);
    EXPECT_EQ(LastFailure().text, "Operation not permitted");
    EXPECT_TRUE(progress.IsFailed());
}

// --- The chunk walk ----------------------------------------------------------------------------

TEST_F(WavFileTest, FormatChunkOf18BytesLoadsAndItsExtraBytesAreSkipped)
{
    const auto path = Write("fmt18.wav", RiffWave({FmtChunk(1, 1, 8000, 16, 2),
                                                   Chunk("data", Le16Samples({100, -100, 16384, -32768}))}));
    SoundBuffer buffer;
    ASSERT_EQ(LoadWav(buffer, path, nullptr), 1);
    EXPECT_EQ(buffer.format.extraSize, 0);
    EXPECT_TRUE(buffer.format.extraBytes.empty());
    EXPECT_EQ(buffer.frameCount, 4u);
    EXPECT_EQ(Samples(buffer, 0), (std::vector<float>{100 / 32768.0f, -100 / 32768.0f, 0.5f, -1.0f}));
}

TEST_F(WavFileTest, ChunkOfSizeZeroOtherThanDataFailsWhereverItIs)
{
    const Bytes fmt = FmtChunk(1, 1, 8000, 8);
    const Bytes data = Chunk("data", Bytes{1, 2, 3, 4});
    ExpectFailedLoad(Write("before.wav", RiffWave({fmt, Chunk("LIST", {}), data})), "empty LIST before data");
    ExpectFailedLoad(Write("after.wav", RiffWave({fmt, data, Chunk("junk", {})})), "empty junk after data");
    ExpectFailedLoad(Write("fmt0.wav", RiffWave({Chunk("fmt ", {}), data})), "empty fmt chunk");
}

TEST_F(WavFileTest, OddChunksAreSkippedWithTheirPadByte)
{
    const auto path = Write("odd.wav", RiffWave({FmtChunk(1, 1, 8000, 8), Chunk("XxXx", {7, 7, 7}),
                                                 Chunk("data", Bytes{0, 128, 255}), Chunk("note", {1})}));
    SoundBuffer buffer;
    ASSERT_EQ(LoadWav(buffer, path, nullptr), 1);
    EXPECT_EQ(Samples(buffer, 0), (std::vector<float>{-1.0f, 0.0f, 127 / 128.0f}));
}

TEST_F(WavFileTest, DirectReaderRefuses24And32BitPcmThatLoadWavDecodes)
{
    for (int bits : {24, 32}) {
        SCOPED_TRACE(bits);
        const auto path = PathOf("pcm" + std::to_string(bits) + ".wav");
        // "wavpcm" keeps format tag 1 where sox would otherwise write WAVE_FORMAT_EXTENSIBLE.
        Sox("-n -r 8000 -c 2 -b " + std::to_string(bits) + " -t wavpcm " + Quoted(path) + " synth 0.1 sine 440");
        ASSERT_EQ(test::ReadFileBytes(path)[20], 1) << "format tag";

        SoundBuffer direct;
        MappedFileStream stream;
        ASSERT_EQ(stream.OpenForReading(path), 1);
        EXPECT_EQ(ReadWavStream(stream, direct, direct.channels, nullptr), 0);
        EXPECT_TRUE(direct.IsEmpty());

        SoundBuffer converted;
        ASSERT_EQ(LoadWav(converted, path, nullptr), 1);
        EXPECT_EQ(converted.format.formatTag, 1);
        EXPECT_EQ(converted.format.bitsPerSample, bits);
        EXPECT_EQ(converted.frameCount, 800u);
        EXPECT_TRUE(converted.IsStereo());
        converted.Clear();
        EXPECT_TRUE(TempFiles().empty()) << "the conversion file is deleted after the load";
    }
}

TEST_F(WavFileTest, BitsPerSampleOf0Or1FailsOnceTheDataChunkIsReached)
{
    struct Case {
        uint16_t tag;
        uint16_t bits;
    };
    // GSM 6.10 and MPEG audio are the exceptions (their writers leave the field at 0); they are
    // covered by the conversion tests with real files.
    for (const Case c : {Case{1, 0}, Case{1, 1}, Case{3, 1}, Case{7, 0}, Case{0xFFFE, 0}}) {
        SCOPED_TRACE(testing::Message() << "tag " << c.tag << " bits " << c.bits);
        const Bytes fmt = RawFmtChunk(c.tag, 1, 8000, 16000, 2, c.bits);
        const auto withData = Write("bits.wav", RiffWave({fmt, Chunk("data", Bytes(8, 0))}));
        ExpectFailedLoad(withData, "with data");
        SoundBuffer header;
        EXPECT_EQ(ReadWavInfo(withData, header), 0);
        EXPECT_TRUE(header.format.IsZero());

        // Without a data chunk the format is never tested.
        const auto withoutData = Write("nodata.wav", RiffWave({fmt}));
        EXPECT_EQ(ReadWavInfo(withoutData, header), 1);
        EXPECT_EQ(header.format.bitsPerSample, c.bits);
    }
}

TEST_F(WavFileTest, TwelveByteFileFails)
{
    const auto path = Write("twelve.wav", RiffWave({}));
    ASSERT_EQ(std::filesystem::file_size(path), 12u);
    ExpectFailedLoad(path, "RIFF and WAVE only");
    SoundBuffer header;
    EXPECT_EQ(ReadWavInfo(path, header), 0);
}

TEST_F(WavFileTest, DeclaredDataSizeIsCutToTheBytesTheFileHolds)
{
    // 10,000 frames of 16-bit stereo written by sox (40 KB) whose data chunk then claims 2 GiB: it
    // must neither load as 536,870,912 frames nor save as 2 GB of silence.
    const auto made = PathOf("made.wav");
    Sox("-n -r 8000 -c 2 -b 16 " + Quoted(made) + " synth 1.25 sine 440 vol 0.5");
    Bytes bytes = test::ReadFileBytes(made);
    const std::string text(bytes.begin(), bytes.end());
    const size_t data = text.find("data");
    ASSERT_NE(data, std::string::npos);
    ASSERT_EQ(test::Le32At(bytes, data + 4), 40000u);
    test::PutLe32At(bytes, data + 4, 0x80000000u);
    const auto claims = Write("claims.wav", bytes);

    SoundBuffer header;
    ASSERT_EQ(ReadWavInfo(claims, header), 1);
    ASSERT_EQ(header.frameCount, 10000u);
    EXPECT_EQ(header.dataByteCount, 40000u);
    SoundBuffer original, buffer;
    ASSERT_EQ(LoadWav(original, made, nullptr), 1);
    ASSERT_EQ(LoadWav(buffer, claims, nullptr), 1);
    EXPECT_EQ(buffer.frameCount, 10000u);
    EXPECT_EQ(buffer.channels.FrameCount(), 10000u);
    EXPECT_EQ(Samples(buffer, 1), Samples(original, 1));
    const auto saved = PathOf("saved.wav");
    ASSERT_EQ(SaveWav(buffer, saved, nullptr), 1);
    EXPECT_EQ(std::filesystem::file_size(saved), 44u + 40000u);

    // 8-bit mono claiming 10 frames with 4 present; 16-bit stereo claiming 10 with two and a half.
    const auto eightBit = Write("long8.wav", RiffWave({FmtChunk(1, 1, 8000, 8), ChunkWithSize("data", 10, {0, 64, 192, 255})}));
    SoundBuffer mono;
    ASSERT_EQ(LoadWav(mono, eightBit, nullptr), 1);
    EXPECT_EQ(Samples(mono, 0), (std::vector<float>{-1.0f, -0.5f, 0.5f, 127 / 128.0f}));
    Bytes partial = Le16Samples({1000, -1000, 2000, -2000});
    partial.push_back(0x7F);
    const auto stereo = Write("long16.wav", RiffWave({FmtChunk(1, 2, 8000, 16), ChunkWithSize("data", 40, partial)}));
    SoundBuffer second;
    ASSERT_EQ(LoadWav(second, stereo, nullptr), 1);
    EXPECT_EQ(Samples(second, 0), (std::vector<float>{1000 / 32768.0f, 2000 / 32768.0f}));
    EXPECT_EQ(Samples(second, 1), (std::vector<float>{-1000 / 32768.0f, -2000 / 32768.0f}));
}

TEST_F(WavFileTest, FileEndingAfterTheFormatChunkLoadsWithNoSound)
{
    const auto path = Write("fmtonly.wav", RiffWave({FmtChunk(1, 2, 44100, 16)}));
    SoundBuffer buffer;
    Progress progress(100);
    ASSERT_EQ(LoadWav(buffer, path, &progress), 1);
    EXPECT_FALSE(buffer.HasSound());
    EXPECT_TRUE(buffer.channels.IsEmpty());
    EXPECT_EQ(buffer.frameCount, 0u);
    EXPECT_EQ(progress.Position(), 100u);
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(WavFileTest, OneToSevenStrayBytesAfterTheLastChunkFail)
{
    const Bytes good = RiffWave({FmtChunk(1, 1, 8000, 16), Chunk("data", Le16Samples({1, 2, 3}))});
    SoundBuffer buffer;
    ASSERT_EQ(LoadWav(buffer, Write("clean.wav", good), nullptr), 1);
    buffer.Clear();
    for (size_t stray = 1; stray <= 7; ++stray) {
        Bytes bytes = good;
        bytes.insert(bytes.end(), stray, 'z');
        ExpectFailedLoad(Write("stray.wav", bytes), std::to_string(stray) + " stray bytes");
    }
}

TEST_F(WavFileTest, ChunksAfterTheDataAreWalkedFromTheEndOfAPartialFrame)
{
    // A 16-bit stereo data chunk of 10 bytes (2.5 frames) followed by a LIST chunk: the walk goes
    // on from the end of the chunk, not from the end of the last whole frame.
    Bytes data = Le16Samples({1, 2, 3, 4});
    data.push_back(9);
    data.push_back(9);
    const auto path = Write("partial.wav", RiffWave({FmtChunk(1, 2, 8000, 16), Chunk("data", data), Chunk("LIST", Bytes(6, 'x'))}));
    SoundBuffer buffer;
    ASSERT_EQ(LoadWav(buffer, path, nullptr), 1);
    EXPECT_EQ(buffer.frameCount, 2u);
}

TEST_F(WavFileTest, LaterFormatChunkMayNotRelabelTheSamples)
{
    const Bytes data = Chunk("data", Le16Samples({1, 2, 3, 4}));
    SoundBuffer buffer;
    ASSERT_EQ(LoadWav(buffer, Write("same.wav", RiffWave({FmtChunk(1, 2, 8000, 16), data, FmtChunk(1, 2, 8000, 16)})),
                      nullptr),
              1);
    buffer.Clear();
    ExpectFailedLoad(Write("relabel.wav", RiffWave({FmtChunk(1, 2, 8000, 16), data, FmtChunk(1, 1, 8000, 8)})),
                     "stereo samples under a mono header");
}

TEST_F(WavFileTest, StreamingWriterDataSizeRunsToTheEndOfTheFile)
{
    // ffmpeg writing to a pipe leaves the data size at 0xFFFFFFFF.
    const auto path = Write("stream.wav", RiffWave({FmtChunk(1, 2, 8000, 16), ChunkWithSize("data", 0xFFFFFFFF, Le16Samples({5, 6, 7, 8, 9, 10}))}));
    SoundBuffer buffer;
    ASSERT_EQ(LoadWav(buffer, path, nullptr), 1);
    EXPECT_EQ(buffer.frameCount, 3u);
    EXPECT_EQ(Samples(buffer, 1), (std::vector<float>{6 / 32768.0f, 8 / 32768.0f, 10 / 32768.0f}));
}

TEST_F(WavFileTest, ZeroBlockAlignFailsWithoutDividing)
{
    for (uint16_t tag : {1, 3}) {
        const auto path = Write("ba0.wav", RiffWave({RawFmtChunk(tag, 1, 8000, 16000, 0, 16), Chunk("data", Bytes(8, 1))}));
        ExpectFailedLoad(path, "block align 0, tag " + std::to_string(tag));
        SoundBuffer buffer;
        MappedFileStream stream;
        ASSERT_EQ(stream.OpenForReading(path), 1);
        EXPECT_EQ(ReadWavStream(stream, buffer, buffer.channels, nullptr), 0);
    }
}

// --- Progress, cancellation, files ----------------------------------------------------------------

class WavLoadProgressTest : public WavFileTest {
protected:
    // About 5 blocks of 16-bit mono PCM, and the same sound as 32-bit float for the conversion.
    void MakeFiles()
    {
        Sox("-n -r 44100 -c 1 -b 16 " + Quoted(PathOf("pcm.wav")) + " synth 24 sine 440");
        Sox("-n -r 44100 -c 1 -e floating-point -b 32 " + Quoted(PathOf("float.wav")) + " synth 24 sine 440");
    }
};

TEST_F(WavLoadProgressTest, ProgressReachesItsRangeOnSuccess)
{
    MakeFiles();
    for (const char* name : {"pcm.wav", "float.wav"}) {
        SCOPED_TRACE(name);
        SoundBuffer buffer;
        RecordingProgress progress(1000);
        ASSERT_EQ(LoadWav(buffer, PathOf(name), &progress), 1);
        EXPECT_EQ(progress.Position(), 1000u);
        EXPECT_FALSE(progress.IsFailed());
        EXPECT_TRUE(progress.IsMonotonic());
        // PCM skips the first 200 units at once and reads through the rest block by block; a
        // converted file is decoded into the stores in one pass over the whole range.
        const auto& positions = progress.Positions();
        EXPECT_GE(std::count_if(positions.begin(), positions.end(), [](uint32_t p) { return p > 200 && p < 1000; }), 3);
        EXPECT_EQ(buffer.frameCount, 44100u * 24);
    }
}

TEST_F(WavLoadProgressTest, CancellingLeavesTheBufferEmptyAndNoTemporaryFile)
{
    MakeFiles();
    struct Case {
        const char* name;
        uint32_t cancelAt;
        const char* when;
    };
    for (const Case c : {Case{"pcm.wav", 500, "reading PCM"}, Case{"float.wav", 100, "converting"},
                         Case{"float.wav", 600, "decoding the end"}}) {
        SCOPED_TRACE(c.when);
        SoundBuffer buffer;
        RecordingProgress progress(1000, c.cancelAt);
        EXPECT_EQ(LoadWav(buffer, PathOf(c.name), &progress), 0);
        EXPECT_TRUE(progress.IsCancelled());
        EXPECT_TRUE(progress.IsFailed());
        EXPECT_LT(progress.Position(), 1000u);
        EXPECT_TRUE(buffer.IsEmpty());
        EXPECT_TRUE(TempFiles().empty());
    }
    SoundBuffer buffer;
    Progress cancelled(1000);
    cancelled.Cancel();
    EXPECT_EQ(LoadWav(buffer, PathOf("pcm.wav"), &cancelled), 0);
    EXPECT_TRUE(buffer.IsEmpty());
}

TEST_F(WavLoadProgressTest, SourceThatShrinksWhileItLoadsFailsCleanly)
{
    // Cut to half once the file is open: read directly, and converted through the decoder.
    MakeFiles();
    for (const char* name : {"pcm.wav", "float.wav"}) {
        SCOPED_TRACE(name);
        const auto path = PathOf(name);
        test::TruncatingProgress progress(1000, path, std::filesystem::file_size(path) / 2);
        SoundBuffer buffer;
        ClearLastFailure();
        EXPECT_EQ(LoadWav(buffer, path, &progress), 0);
        EXPECT_TRUE(progress.HasTruncated());
        EXPECT_EQ(LastFailure().text, "the file shrank while it was read");
        EXPECT_TRUE(progress.IsFailed());
        EXPECT_TRUE(buffer.IsEmpty());
        EXPECT_TRUE(TempFiles().empty());
    }
}

TEST_F(WavFileTest, FifosAndDevicesAreRefusedWithoutWaiting)
{
    // A FIFO with no writer blocks a plain open() for ever; a device reads for ever or not at all.
    const auto fifo = PathOf("pipe.wav");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::filesystem::path& path : {fifo, std::filesystem::path("/dev/zero")}) {
        SCOPED_TRACE(path.string());
        SoundBuffer buffer;
        ClearLastFailure();
        EXPECT_EQ(LoadWav(buffer, path, nullptr), 0);
        EXPECT_EQ(LastFailure().text, "not a regular file");
        EXPECT_TRUE(buffer.IsEmpty());
    }
    // The decoder of other encodings opens its source itself.
    SoundBuffer buffer;
    ClearLastFailure();
    EXPECT_EQ(DecodeWavInto(buffer, fifo, nullptr), 0);
    EXPECT_EQ(LastFailure().text, "not a regular file");
    EXPECT_TRUE(buffer.IsEmpty());
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(WavFileTest, MissingFileFailsAndAFailedLoadEmptiesAFullBuffer)
{
    SoundBuffer buffer;
    ASSERT_EQ(buffer.CreateSilent(true, 100, 8000), 1);
    EXPECT_EQ(LoadWav(buffer, PathOf("absent.wav"), nullptr), 0);
    EXPECT_TRUE(buffer.IsEmpty());
    ASSERT_EQ(buffer.CreateSilent(true, 100, 8000), 1);
    EXPECT_EQ(LoadWav(buffer, Write("bad.wav", RiffWave({})), nullptr), 0);
    EXPECT_TRUE(buffer.IsEmpty());
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(WavFileTest, FailuresSayWhy)
{
    const auto expectReason = [](int result, FailureKind kind, const std::string& text) {
        EXPECT_EQ(result, 0) << text;
        EXPECT_EQ(LastFailure().kind, kind) << text;
        EXPECT_EQ(LastFailure().text, text);
        ClearLastFailure();
    };
    ClearLastFailure();
    SoundBuffer buffer;
    expectReason(LoadWav(buffer, PathOf("absent.wav"), nullptr), FailureKind::System, "No such file or directory");
    expectReason(LoadWav(buffer, Dir(), nullptr), FailureKind::System, "Is a directory");
    expectReason(LoadWav(buffer, Write("riff.wav", RiffWave({})), nullptr), FailureKind::Format,
                 "no chunks after the RIFF header");
    expectReason(LoadWav(buffer, Write("text.wav", Bytes(100, 'x')), nullptr), FailureKind::Format,
                 "not a WAV file (no RIFF header)");
    Progress cancelled(100);
    cancelled.Cancel();
    const auto good = Write("ok.wav", RiffWave({FmtChunk(1, 1, 8000, 8), Chunk("data", {1, 2})}));
    expectReason(LoadWav(buffer, good, &cancelled), FailureKind::Cancelled, "cancelled");

    SoundBuffer empty;
    expectReason(SaveWav(empty, PathOf("empty.wav"), nullptr), FailureKind::Format, "no sound to write");
    ASSERT_EQ(buffer.CreateSilent(true, 100000, 44100), 1);
    expectReason(SaveWav(buffer, PathOf("no-such-folder") / "out.wav", nullptr), FailureKind::System,
                 "No such file or directory");
    {
        test::FileSizeLimit limit(100000);  // the sound needs 400,044 bytes
        expectReason(SaveWav(buffer, PathOf("full.wav"), nullptr), FailureKind::System, "File too large");
    }
}

TEST_F(WavFileTest, LoadingNeverChangesTheFileAndNeedsOnlyReadPermission)
{
    const auto path = Write("ro.wav", RiffWave({FmtChunk(1, 1, 8000, 16), Chunk("data", Le16Samples({1, 2, 3}))}));
    const Bytes before = test::ReadFileBytes(path);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    struct stat statBefore {};
    ASSERT_EQ(::stat(path.c_str(), &statBefore), 0);
    SoundBuffer buffer;
    ASSERT_EQ(LoadWav(buffer, path, nullptr), 1) << "a read-only file loads";
    struct stat statAfter {};
    ASSERT_EQ(::stat(path.c_str(), &statAfter), 0);
    EXPECT_EQ(test::ReadFileBytes(path), before);
    EXPECT_EQ(statAfter.st_mtim.tv_sec, statBefore.st_mtim.tv_sec);
    EXPECT_EQ(statAfter.st_mtim.tv_nsec, statBefore.st_mtim.tv_nsec);
    if (::geteuid() == 0)
        std::cout << "note: running as root, so mode 0444 does not stop a read-write open\n";
}

// --- Round trips of files made by sox ---------------------------------------------------------

TEST_F(WavFileTest, FilesMadeBySoxSurviveLoadAndSaveByteForByte)
{
    struct Case {
        const char* options;  // sox's output options
        const char* length;   // at sox's 48 kHz before it resamples: 300001s gives 137813 frames, whose
                              // 8- or 24-bit mono data chunk needs a pad byte
        const char* volume;
        uint16_t tag;  // what the saved file states
        int bits;
        const char* then;  // sox's options for a second file made from the first, or null
    };
    const Case cases[] = {
        {"-c 1 -b 8 -e unsigned", "300001s", "0.9", 1, 8, nullptr},
        {"-c 2 -b 8 -e unsigned", "300000s", "0.9", 1, 8, nullptr},
        {"-c 1 -b 16 -e signed", "300000s", "0.9", 1, 16, nullptr},
        {"-c 2 -b 16 -e signed", "270001s", "0.9", 1, 16, nullptr},
        // sox writes 24 and 32 bits as WAVE_FORMAT_EXTENSIBLE; they come back with tags 1 and 3.
        {"-c 1 -b 24", "300001s", "0.9", 1, 24, nullptr},
        {"-c 2 -b 24", "270001s", "-105dB", 1, 24, nullptr},  // all below half a 16-bit step
        {"-c 2 -e floating-point -b 32", "270001s", "0.9", 3, 32, nullptr},
        // sox's tones have 32 significant bits, more than a float holds; made from a float file,
        // every sample is one a float holds, and must come back exactly.
        {"-c 1 -e floating-point -b 32", "300001s", "0.9", 1, 32, "-e signed -b 32"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.options << " vol " << c.volume << (c.then ? " then " : "")
                                        << (c.then ? c.then : ""));
        const auto in = PathOf("in.wav");
        const auto out = PathOf("out.wav");
        const auto first = c.then ? PathOf("first.wav") : in;
        Sox("-n -r 22050 " + std::string(c.options) + " " + Quoted(first) + " synth " + c.length +
            " sine 300 sine 3000 vol " + c.volume);
        if (c.then)
            Sox(Quoted(first) + " " + c.then + " " + Quoted(in));
        SoundBuffer buffer;
        ASSERT_EQ(LoadWav(buffer, in, nullptr), 1);
        ASSERT_EQ(SaveWav(buffer, out, nullptr), 1);

        const Bytes original = test::ReadFileBytes(in);
        const Bytes saved = test::ReadFileBytes(out);
        const Bytes originalData = test::DataChunkPayload(original);
        ASSERT_FALSE(originalData.empty());
        EXPECT_TRUE(test::DataChunkPayload(saved) == originalData) << "sample data differs";
        const size_t header = c.tag == 3 ? 58 : 44;  // float: "fmt " of 18 bytes and a "fact" chunk
        EXPECT_EQ(saved.size(), header + originalData.size() + originalData.size() % 2);
        EXPECT_EQ(saved[20] | saved[21] << 8, c.tag);
        EXPECT_EQ(saved[22], buffer.format.channelCount);
        EXPECT_EQ(saved[34], c.bits);
        if (std::string(c.volume) == "-105dB") {
            int loudest = 0;
            for (size_t at = 0; at + 3 <= originalData.size(); at += 3) {
                const int32_t s = int32_t(uint32_t(originalData[at]) << 8 | uint32_t(originalData[at + 1]) << 16 |
                                          uint32_t(originalData[at + 2]) << 24) >> 8;
                loudest = std::max(loudest, std::abs(s));
            }
            EXPECT_GT(loudest, 0) << "the tone is there";
            EXPECT_LT(loudest, 128) << "and 16 bits would have rounded it all to silence";
        }
    }

    // Straight from sox's synthesis, 32-bit samples come back as the nearest float holds them.
    const auto in = PathOf("in.wav");
    const auto out = PathOf("out.wav");
    Sox("-n -r 22050 -c 2 -e signed -b 32 " + Quoted(in) + " synth 2 sine 300 sine 3000 vol 0.9");
    SoundBuffer buffer;
    ASSERT_EQ(LoadWav(buffer, in, nullptr), 1);
    ASSERT_EQ(SaveWav(buffer, out, nullptr), 1);
    const Bytes originalData = test::DataChunkPayload(test::ReadFileBytes(in));
    const Bytes savedData = test::DataChunkPayload(test::ReadFileBytes(out));
    ASSERT_EQ(originalData.size(), 44100u * 8);
    ASSERT_EQ(savedData.size(), originalData.size());
    size_t rounded = 0;
    for (size_t at = 0; at < originalData.size(); at += 4) {
        const auto s = int32_t(test::Le32At(originalData, at));
        const int64_t nearest = std::min<int64_t>(int64_t(float(s)), INT32_MAX);
        ASSERT_EQ(int32_t(test::Le32At(savedData, at)), nearest) << "sample " << at / 4 << " was " << s;
        rounded += nearest != s;
    }
    EXPECT_GT(rounded, 0u) << "sox's tones did use more bits than a float holds";
}

}  // namespace
}  // namespace brindle

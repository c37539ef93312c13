// Non-PCM and wide PCM WAV files, made by sox and ffmpeg at test time, decoded through libsndfile
// and compared sample by sample with sox's own undithered 16-bit decode of the same file.
#include <gtest/gtest.h>

#include "formats/wav_conversion.h"
#include "formats/wav_file.h"
#include "formats/wav_test_util.h"
#include "storage/sample_conversion.h"
#include "storage/sound_buffer.h"
#include "tasks/failure.h"

namespace brindle {
namespace {

using namespace test;

struct Encoding {
    const char* name;
    const char* command;  // makes $OUT
    uint16_t tag;         // the format tag the tool writes
    bool isBlockCodec;    // ADPCM and GSM: the last block is padded, "fact" tells the real length
    uint16_t heldTag = 1;  // the sound's own resolution after the load: 16-bit PCM unless finer
    uint16_t heldBits = 16;
};

// 2.3 s of two tones at 80% of full scale.
const Encoding kEncodings[] = {
    {"float32", "sox -n -r 22050 -c 2 -e floating-point -b 32 $OUT synth 2.3 sine 440 sine 660 vol 0.8", 3, false, 3, 32},
    {"float64", "sox -n -r 22050 -c 1 -e floating-point -b 64 $OUT synth 2.3 sine 440 vol 0.8", 3, false},
    {"pcm24-extensible", "sox -n -r 22050 -c 2 -b 24 $OUT synth 2.3 sine 440 sine 660 vol 0.8", 0xFFFE, false, 1, 24},
    {"pcm24-tag1", "sox -n -r 22050 -c 2 -b 24 -t wavpcm $OUT synth 2.3 sine 440 sine 660 vol 0.8", 1, false, 1, 24},
    {"pcm32-tag1", "sox -n -r 22050 -c 1 -b 32 -t wavpcm $OUT synth 2.3 sine 440 vol 0.8", 1, false, 1, 32},
    {"ima-adpcm", "sox -n -r 22050 -c 2 -e ima-adpcm $OUT synth 2.3 sine 440 sine 660 vol 0.8", 0x11, true},
    {"ms-adpcm", "sox -n -r 22050 -c 1 -e ms-adpcm $OUT synth 2.3 sine 440 vol 0.8", 2, true},
    {"mu-law", "sox -n -r 8000 -c 2 -e mu-law $OUT synth 2.3 sine 440 sine 660 vol 0.8", 7, false},
    {"a-law", "sox -n -r 8000 -c 1 -e a-law $OUT synth 2.3 sine 440 vol 0.8", 6, false},
    {"gsm610", "sox -n -r 8000 -c 1 -e gsm-full-rate $OUT synth 2.3 sine 440 vol 0.8", 0x31, true},
    {"ffmpeg-float-extensible", "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=2.3 -ar 44100 -c:a pcm_f32le -y $OUT",
     0xFFFE, false, 3, 32},
    {"ffmpeg-ima-adpcm", "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=2.3 -ar 22050 -c:a adpcm_ima_wav -y $OUT",
     0x11, true},
    {"ffmpeg-ms-adpcm", "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=2.3 -ar 22050 -ac 2 -c:a adpcm_ms -y $OUT", 2,
     true},
};

class WavCompressedTest : public TempDirTest, public testing::WithParamInterface<Encoding> {};

TEST_P(WavCompressedTest, ConvertedSamplesAgreeWithSoxWithinOneStep)
{
    const Encoding& encoding = GetParam();
    const auto source = PathOf("source.wav"), reference = PathOf("reference.raw");
    std::string command = encoding.command;
    command.replace(command.find("$OUT"), 4, Quoted(source));
    ASSERT_EQ(RunCommand(command + " 2>/dev/null"), 0) << command;
    const Bytes sourceBytes = ReadFileBytes(source);
    ASSERT_EQ(sourceBytes[20] | sourceBytes[21] << 8, encoding.tag) << "the tool wrote another format than this case is about";
    ASSERT_EQ(RunCommand("sox -D " + Quoted(source) + " -t s16 " + Quoted(reference) + " 2>/dev/null"), 0);
    const Bytes raw = ReadFileBytes(reference);

    SoundBuffer buffer;
    RecordingProgress progress(500);
    ASSERT_EQ(LoadWav(buffer, source, &progress), 1);
    EXPECT_EQ(std::tuple(progress.Position(), buffer.format.formatTag, buffer.format.bitsPerSample), std::tuple(500u, encoding.heldTag, encoding.heldBits));
    const uint32_t channels = buffer.channels.ChannelCount();
    ASSERT_GE(channels, 1u);
    // sox decodes block codecs in whole blocks; the file's "fact" chunk states the real length, which
    // the load keeps. Everywhere else the lengths are equal.
    const size_t soxFrames = raw.size() / 2 / channels;
    const Bytes factChunk = ChunkPayload(sourceBytes, "fact");
    const uint32_t fact = factChunk.size() >= 4 ? Le32At(factChunk, 0) : 0;
    const size_t expectedFrames = encoding.isBlockCodec && fact != 0 && fact < soxFrames ? fact : soxFrames;
    ASSERT_EQ(buffer.frameCount, expectedFrames) << "sox decodes " << soxFrames << " frames, fact says " << fact;
    if (command.starts_with("sox")) {
        EXPECT_EQ(buffer.frameCount, uint32_t(2.3 * buffer.format.samplesPerSecond + 0.5)) << "the length synthesised";
    }
    for (uint32_t c = 0; c < channels; ++c) {
        const std::vector<float> samples = ReadStore(buffer.channels.Channel(int(c)));
        ASSERT_EQ(samples.size(), expectedFrames);
        for (size_t k = 0; k < expectedFrames; ++k) {
            const size_t at = 2 * (k * channels + c);
            ASSERT_LE(std::abs(FloatToS16(samples[k]) - int16_t(uint16_t(raw[at] | raw[at + 1] << 8))), 1)
                << encoding.name << ": channel " << c << " frame " << k;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Encodings, WavCompressedTest, testing::ValuesIn(kEncodings), [](const auto& info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

class GraphImportTest : public TempDirTest {
protected:
    std::filesystem::path MakeFloatWav(const std::string& name, const std::string& seconds = "1")
    {
        EXPECT_EQ(RunCommand("sox -n -r 44100 -c 2 -e floating-point -b 32 -t wav " + Quoted(PathOf(name)) + " synth " +
                             seconds + " sine 440 2>/dev/null"),
                  0);
        return PathOf(name);
    }
};

TEST_F(GraphImportTest, DecodesIntoTheStoresWithItsProgressStepsAndOnlyFilesNamedWavOrPcm)
{
    const auto wav = MakeFloatWav("in.wav");
    SoundBuffer buffer;
    RecordingProgress progress(1000);
    ASSERT_EQ(DecodeWavInto(buffer, wav, &progress), 1);
    const WaveFormat& f = buffer.format;
    EXPECT_EQ(std::tuple(f.formatTag, f.bitsPerSample, f.blockAlign, f.avgBytesPerSecond, buffer.frameCount, buffer.dataByteCount, buffer.HasSound()),
              std::tuple(3, 32, 8, 352800u, 44100u, 44100u * 8, true));
    ASSERT_FALSE(progress.Positions().empty());
    EXPECT_EQ(progress.Positions().front(), 300u) << "30% once the file is open, then the frames decoded";
    EXPECT_EQ(std::tuple(progress.Position(), progress.IsMonotonic()), std::tuple(1000u, true));
    for (const std::string name : {"in.mp3", "in.wma", "in.tmp", "in", "~VeAbc123", "in.wave", "in.WAV", "in.Pcm"}) {
        const bool isConverted = name == "in.WAV" || name == "in.Pcm";
        std::filesystem::copy_file(wav, PathOf(name));
        SoundBuffer renamed;
        Progress renamedProgress(100);
        ClearLastFailure();
        EXPECT_EQ(DecodeWavInto(renamed, PathOf(name), &renamedProgress), isConverted ? 1 : 0) << name;
        EXPECT_EQ(std::tuple(renamed.frameCount, renamed.IsEmpty(), renamedProgress.IsFailed()),
                  std::tuple(isConverted ? 44100u : 0u, !isConverted, !isConverted)) << name;
        if (!isConverted) {
            EXPECT_EQ(LastFailure().text, "only a file named .wav or .pcm is converted") << name;
        }
        std::filesystem::remove(PathOf(name));
    }
}

TEST_F(GraphImportTest, ALoadDecodesIntoTheStoresExactlyTheSixteenBitSamplesSoxWidened)
{
    // Five blocks of stereo: the stores grow several times on the way. sox widens 16-bit samples to
    // floats exactly, so the decode must give back the very samples it started from.
    const auto sixteen = PathOf("sixteen.wav"), source = PathOf("float.wav"), three = PathOf("three.wav");
    ASSERT_EQ(RunCommand("sox -D -R -n -r 44100 -c 2 -b 16 " + Quoted(sixteen) + " synth 30 sine 100-20000 pinknoise vol 0.5"), 0);
    ASSERT_EQ(RunCommand("sox -D " + Quoted(sixteen) + " -e floating-point -b 32 " + Quoted(source)), 0);
    SoundBuffer loaded, expected, refused;
    TempFileWatch watch([this] { return TempFiles().size(); });
    ASSERT_EQ(LoadWav(loaded, source, &watch), 1);
    EXPECT_EQ(watch.most, 2u) << "no 16-bit copy of the sound beside its two stores";
    ASSERT_EQ(LoadWav(expected, sixteen, nullptr), 1);
    EXPECT_EQ(std::tuple(loaded.frameCount, expected.frameCount), std::tuple(30u * 44100u, 30u * 44100u));
    EXPECT_EQ(std::tuple(loaded.dataByteCount, loaded.format.blockAlign, loaded.format.avgBytesPerSecond),  // the float file's own
              std::tuple(2 * expected.dataByteCount, 2 * expected.format.blockAlign, 2 * expected.format.avgBytesPerSecond));
    for (int c = 0; c < 2; ++c)
        EXPECT_TRUE(ReadStore(loaded.channels.Channel(c)) == ReadStore(expected.channels.Channel(c))) << c;
    // Three channels decode, but the reader refuses them before any sample is stored.
    ASSERT_EQ(RunCommand("sox -n -r 8000 -c 3 -e floating-point -b 32 " + Quoted(three) + " synth 1 sine 440"), 0);
    ClearLastFailure();
    EXPECT_EQ(LoadWav(refused, three, nullptr), 0);
    EXPECT_EQ(std::tuple(LastFailure().text, refused.IsEmpty()), std::tuple(std::string("3 channels (only mono and stereo open)"), true));
}

TEST_F(GraphImportTest, CancellingLeavesTheBufferEmptyAndFilesLibsndfileCannotReadFailAndSayWhy)
{
    const auto source = MakeFloatWav("in.wav", "20");
    SoundBuffer cancelled;
    ASSERT_EQ(cancelled.CreateSilent(true, 100, 8000), 1);
    RecordingProgress progress(1000, 500);
    ClearLastFailure();
    EXPECT_EQ(DecodeWavInto(cancelled, source, &progress), 0);
    EXPECT_EQ(std::tuple(progress.IsCancelled(), LastFailure().kind, cancelled.IsEmpty(), TempFiles().empty()),
              std::tuple(true, FailureKind::Cancelled, true, true));
    EXPECT_LT(progress.Positions().back(), 1000u);
    WriteFileBytes(PathOf("text.wav"), Bytes(100, 'x'));
    // An AIFF file is a sound libsndfile reads, but not a WAV.
    ASSERT_EQ(RunCommand("sox -n -r 8000 -c 1 -t aiff " + Quoted(PathOf("aiff.wav")) + " synth 0.1 sine 440"), 0);
    // A cut-short INFO list whose entry claims nearly 4 GiB: libsndfile's own parse of it never returns.
    ASSERT_EQ(RunCommand("sox -n -r 8000 -c 1 -e a-law " + Quoted(PathOf("list.wav")) + " synth 0.1 sine 440"), 0);
    Bytes listed = ReadFileBytes(PathOf("list.wav"));
    listed.insert(listed.end(), {'L', 'I', 'S', 'T', 116, 0, 0, 0, 'I', 'N', 'F', 'O', 'I', 'C', 'M', 'T', 2, 0, 0, 0, 0, 0,
                                 'I', 'A', 'O', 'P', 0xef, 0xff, 0xff, 0xff});
    PutLe32At(listed, 4, uint32_t(listed.size() - 8));
    WriteFileBytes(PathOf("list.wav"), listed);
    for (const auto& [name, reason] : {std::pair{"absent.wav", "No such file or directory"}, {"aiff.wav", "not a WAV file"},
                                      {"text.wav", "cannot decode this WAV file ("},
                                      {"list.wav", "cannot decode this WAV file (a LIST chunk's entry is larger than the file)"}}) {
        SoundBuffer buffer;
        ClearLastFailure();
        EXPECT_EQ(DecodeWavInto(buffer, PathOf(name), nullptr), 0) << name;
        const std::string text = LastFailure().text;
        EXPECT_TRUE(std::string(reason).ends_with('(') ? text.starts_with(reason) : text == reason) << text;
        EXPECT_TRUE(buffer.IsEmpty()) << name;
    }
    EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace brindle

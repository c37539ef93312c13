// Non-PCM and wide PCM WAV files, made by sox and ffmpeg at test time, decoded through libsndfile
// and compared sample by sample with sox's own undithered 16-bit decode of the same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "storage/sample_conversion.h"
#include "formats/wav_conversion.h"
#include "formats/wav_file.h"
#include "formats/wav_test_util.h"
#include "storage/sound_buffer.h"
#include "support/test_support.h"
#include "tasks/failure.h"

namespace brindle {
namespace {

using test::Bytes;
using test::Quoted;
using test::RecordingProgress;

// The sample count of a "fact" chunk, found by a walk of the test's own; 0 when there is none.
uint32_t FactSampleCount(const Bytes& file)
{
    size_t offset = 12;
    while (offset + 8 <= file.size()) {
        const uint32_t size = test::Le32At(file, offset + 4);
        if (std::memcmp(file.data() + offset, "fact", 4) == 0 && size >= 4 && offset + 12 <= file.size())
            return test::Le32At(file, offset + 8);
        offset += 8 + size + (size & 1);
    }
    return 0;
}

uint16_t FormatTag(const Bytes& file) { return file.size() > 21 ? uint16_t(file[20] | file[21] << 8) : 0; }

struct Encoding {
    const char* name;
    const char* command;  // makes $OUT; "sox ..." or "ffmpeg ..."
    uint16_t tag;         // the format tag the tool writes
    bool isBlockCodec;    // ADPCM and GSM: the last block is padded, "fact" tells the real length
    uint16_t heldTag = 1;  // the sound's own resolution after the load: 16-bit PCM unless finer
    uint16_t heldBits = 16;
};

// 2.3 s of two tones at 80% of full scale.
const Encoding kEncodings[] = {
    {"float32", "sox -n -r 22050 -c 2 -e floating-point -b 32 $OUT synth 2.3 sine 440 sine 660 vol 0.8", 3, false, 3,
     32},
    {"float64", "sox -n -r 22050 -c 1 -e floating-point -b 64 $OUT synth 2.3 sine 440 vol 0.8", 3, false},
    {"pcm24-extensible", "sox -n -r 22050 -c 2 -b 24 $OUT synth 2.3 sine 440 sine 660 vol 0.8", 0xFFFE, false, 1, 24},
    {"pcm24-tag1", "sox -n -r 22050 -c 2 -b 24 -t wavpcm $OUT synth 2.3 sine 440 sine 660 vol 0.8", 1, false, 1, 24},
    {"pcm32-tag1", "sox -n -r 22050 -c 1 -b 32 -t wavpcm $OUT synth 2.3 sine 440 vol 0.8", 1, false, 1, 32},
    {"ima-adpcm", "sox -n -r 22050 -c 2 -e ima-adpcm $OUT synth 2.3 sine 440 sine 660 vol 0.8", 0x11, true},
    {"ms-adpcm", "sox -n -r 22050 -c 1 -e ms-adpcm $OUT synth 2.3 sine 440 vol 0.8", 2, true},
    {"mu-law", "sox -n -r 8000 -c 2 -e mu-law $OUT synth 2.3 sine 440 sine 660 vol 0.8", 7, false},
    {"a-law", "sox -n -r 8000 -c 1 -e a-law $OUT synth 2.3 sine 440 vol 0.8", 6, false},
    {"gsm610", "sox -n -r 8000 -c 1 -e gsm-full-rate $OUT synth 2.3 sine 440 vol 0.8", 0x31, true},
    {"ffmpeg-float-extensible",
     "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=2.3 -ar 44100 -c:a pcm_f32le -y $OUT", 0xFFFE, false, 3,
     32},
    {"ffmpeg-ima-adpcm",
     "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=2.3 -ar 22050 -c:a adpcm_ima_wav -y $OUT", 0x11, true},
    {"ffmpeg-ms-adpcm",
     "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=2.3 -ar 22050 -ac 2 -c:a adpcm_ms -y $OUT", 2, true},
};

class WavCompressedTest : public test::TempDirTest, public testing::WithParamInterface<Encoding> {};

TEST_P(WavCompressedTest, ConvertedSamplesAgreeWithSoxWithinOneStep)
{
    const Encoding& encoding = GetParam();
    const auto source = PathOf("source.wav");
    std::string command = encoding.command;
    command.replace(command.find("$OUT"), 4, Quoted(source));
    ASSERT_EQ(test::RunCommand(command + " 2>/dev/null"), 0) << command;
    const Bytes sourceBytes = test::ReadFileBytes(source);
    ASSERT_EQ(FormatTag(sourceBytes), encoding.tag) << "the tool wrote another format than this case is about";

    const auto reference = PathOf("reference.raw");
    ASSERT_EQ(test::RunCommand("sox -D " + Quoted(source) + " -t s16 " + Quoted(reference) + " 2>/dev/null"), 0);
    const Bytes raw = test::ReadFileBytes(reference);

    SoundBuffer buffer;
    RecordingProgress progress(500);
    ASSERT_EQ(LoadWav(buffer, source, &progress), 1);
    EXPECT_EQ(progress.Position(), 500u);
    EXPECT_EQ(buffer.format.formatTag, encoding.heldTag);
    EXPECT_EQ(buffer.format.bitsPerSample, encoding.heldBits);
    const uint32_t channels = buffer.channels.ChannelCount();
    ASSERT_GE(channels, 1u);
    const size_t soxFrames = raw.size() / 2 / channels;

    // sox decodes block codecs in whole blocks; the file's "fact" chunk states the real length,
    // which the load keeps. Everywhere else the lengths are equal.
    size_t expectedFrames = soxFrames;
    const uint32_t fact = FactSampleCount(sourceBytes);
    if (encoding.isBlockCodec && fact != 0 && fact < soxFrames)
        expectedFrames = fact;
    ASSERT_EQ(buffer.frameCount, expectedFrames) << "sox decodes " << soxFrames << " frames, fact says " << fact;
    if (std::string(encoding.command).rfind("sox", 0) == 0) {
        EXPECT_EQ(buffer.frameCount, uint32_t(2.3 * buffer.format.samplesPerSecond + 0.5)) << "the length synthesised";
    }

    size_t worst = 0;
    for (uint32_t c = 0; c < channels; ++c) {
        const std::vector<float> samples = test::ReadStore(buffer.channels.Channel(int(c)));
        ASSERT_EQ(samples.size(), expectedFrames);
        for (size_t k = 0; k < expectedFrames; ++k) {
            const size_t at = 2 * (k * channels + c);
            const int ours = FloatToS16(samples[k]);
            const int theirs = int16_t(uint16_t(raw[at] | raw[at + 1] << 8));
            const size_t difference = size_t(std::abs(ours - theirs));
            worst = std::max(worst, difference);
            ASSERT_LE(difference, 1u) << encoding.name << ": channel " << c << " frame " << k;
        }
    }
    std::cout << encoding.name << ": " << expectedFrames << " frames, largest difference " << worst << "\n";
}

INSTANTIATE_TEST_SUITE_P(Encodings, WavCompressedTest, testing::ValuesIn(kEncodings),
                         [](const testing::TestParamInfo<Encoding>& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

class GraphImportTest : public test::TempDirTest {
protected:
    std::filesystem::path MakeFloatWav(const std::string& name, const std::string& seconds = "1")
    {
        const auto path = PathOf(name);
        EXPECT_EQ(test::RunCommand("sox -n -r 44100 -c 2 -e floating-point -b 32 -t wav " + Quoted(path) + " synth " +
                                   seconds + " sine 440 2>/dev/null"),
                  0);
        return path;
    }
};

TEST_F(GraphImportTest, DecodesIntoTheStoresWithItsProgressSteps)
{
    const auto source = MakeFloatWav("in.wav");
    SoundBuffer buffer;
    RecordingProgress progress(1000);
    ASSERT_EQ(DecodeWavInto(buffer, source, &progress), 1);
    EXPECT_EQ(buffer.format.formatTag, 3);
    EXPECT_EQ(buffer.format.bitsPerSample, 32);
    EXPECT_EQ(buffer.format.blockAlign, 8);
    EXPECT_EQ(buffer.format.avgBytesPerSecond, 352800u);
    EXPECT_EQ(buffer.frameCount, 44100u);
    EXPECT_EQ(buffer.dataByteCount, 44100u * 8);
    EXPECT_TRUE(buffer.HasSound());
    // 30% once the file is open, then the frames decoded.
    ASSERT_FALSE(progress.Positions().empty());
    EXPECT_EQ(progress.Positions().front(), 300u);
    EXPECT_EQ(progress.Position(), 1000u);
    EXPECT_TRUE(progress.IsMonotonic());
}

using test::TempFileWatch;

TEST_F(GraphImportTest, ALoadDecodesIntoTheStoresExactlyTheSixteenBitSamplesSoxWidened)
{
    // Five blocks of stereo: the stores grow several times on the way. sox widens 16-bit samples to
    // floats exactly, so the decode must give back the very samples it started from.
    const auto sixteen = PathOf("sixteen.wav");
    ASSERT_EQ(test::RunCommand("sox -D -R -n -r 44100 -c 2 -b 16 " + Quoted(sixteen) +
                               " synth 30 sine 100-20000 pinknoise vol 0.5 2>/dev/null"),
              0);
    const auto source = PathOf("float.wav");
    ASSERT_EQ(test::RunCommand("sox -D " + Quoted(sixteen) + " -e floating-point -b 32 " + Quoted(source)), 0);
    SoundBuffer loaded;
    TempFileWatch watch([this] { return TempFiles().size(); });
    ASSERT_EQ(LoadWav(loaded, source, &watch), 1);
    EXPECT_EQ(watch.most, 2u) << "no 16-bit copy of the sound beside its two stores";

    SoundBuffer expected;
    ASSERT_EQ(LoadWav(expected, sixteen, nullptr), 1);
    EXPECT_EQ(loaded.frameCount, 30u * 44100u);
    EXPECT_EQ(loaded.frameCount, expected.frameCount);
    EXPECT_EQ(loaded.dataByteCount, 2 * expected.dataByteCount) << "the float file's own";
    EXPECT_EQ(loaded.format.blockAlign, 2 * expected.format.blockAlign);
    EXPECT_EQ(loaded.format.avgBytesPerSecond, 2 * expected.format.avgBytesPerSecond);
    for (int c = 0; c < 2; ++c)
        EXPECT_TRUE(test::ReadStore(loaded.channels.Channel(c)) == test::ReadStore(expected.channels.Channel(c))) << c;

    // Three channels decode, but the reader refuses them before any sample is stored.
    const auto three = PathOf("three.wav");
    ASSERT_EQ(test::RunCommand("sox -n -r 8000 -c 3 -e floating-point -b 32 " + Quoted(three) + " synth 1 sine 440"), 0);
    SoundBuffer refused;
    ClearLastFailure();
    EXPECT_EQ(LoadWav(refused, three, nullptr), 0);
    EXPECT_EQ(LastFailure().text, "3 channels (only mono and stereo open)");
    EXPECT_TRUE(refused.IsEmpty());
}

TEST_F(GraphImportTest, RefusesSourcesNotNamedWavOrPcm)
{
    const auto wav = MakeFloatWav("in.wav");
    for (const std::string name : {"in.mp3", "in.wma", "in.tmp", "in", "~VeAbc123", "in.wave"}) {
        const auto renamed = PathOf(name);
        std::filesystem::copy_file(wav, renamed);
        SoundBuffer buffer;
        Progress progress(100);
        ClearLastFailure();
        EXPECT_EQ(DecodeWavInto(buffer, renamed, &progress), 0) << name;
        EXPECT_EQ(LastFailure().text, "only a file named .wav or .pcm is converted") << name;
        EXPECT_TRUE(progress.IsFailed());
        EXPECT_TRUE(buffer.IsEmpty()) << name;
        std::filesystem::remove(renamed);
    }
    for (const std::string name : {"in.WAV", "in.Pcm"}) {
        const auto renamed = PathOf(name);
        std::filesystem::copy_file(wav, renamed);
        SoundBuffer buffer;
        EXPECT_EQ(DecodeWavInto(buffer, renamed, nullptr), 1) << name;
        EXPECT_EQ(buffer.frameCount, 44100u) << name;
        std::filesystem::remove(renamed);
    }
}

TEST_F(GraphImportTest, CancellingLeavesTheBufferEmptyAndNoStores)
{
    const auto source = MakeFloatWav("in.wav", "20");
    SoundBuffer buffer;
    ASSERT_EQ(buffer.CreateSilent(true, 100, 8000), 1);
    RecordingProgress progress(1000, 500);
    ClearLastFailure();
    EXPECT_EQ(DecodeWavInto(buffer, source, &progress), 0);
    EXPECT_TRUE(progress.IsCancelled());
    EXPECT_EQ(LastFailure().kind, FailureKind::Cancelled);
    EXPECT_LT(progress.Positions().back(), 1000u);
    EXPECT_TRUE(buffer.IsEmpty());
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(GraphImportTest, FilesLibsndfileCannotReadFailAndSayWhy)
{
    test::WriteFileBytes(PathOf("text.wav"), Bytes(100, 'x'));
    // An AIFF file is a sound libsndfile reads, but not a WAV.
    ASSERT_EQ(test::RunCommand("sox -n -r 8000 -c 1 -t aiff " + Quoted(PathOf("aiff.wav")) + " synth 0.1 sine 440"), 0);
    // A cut-short INFO list whose entry claims nearly 4 GiB: libsndfile's own parse of it never returns.
    ASSERT_EQ(test::RunCommand("sox -n -r 8000 -c 1 -e a-law " + Quoted(PathOf("list.wav")) + " synth 0.1 sine 440"), 0);
    Bytes listed = test::ReadFileBytes(PathOf("list.wav"));
    const Bytes list = {'L', 'I', 'S', 'T', 116, 0, 0, 0, 'I', 'N', 'F', 'O', 'I', 'C', 'M', 'T', 2, 0, 0, 0, 0, 0,
                        'I', 'A', 'O', 'P', 0xef, 0xff, 0xff, 0xff};
    listed.insert(listed.end(), list.begin(), list.end());
    test::PutLe32At(listed, 4, uint32_t(listed.size() - 8));
    test::WriteFileBytes(PathOf("list.wav"), listed);
    const std::pair<const char*, const char*> cases[] = {
        {"absent.wav", "No such file or directory"},
        {"aiff.wav", "not a WAV file"},
        {"list.wav", "cannot decode this WAV file (a LIST chunk's entry is larger than the file)"},
    };
    for (const auto& [name, reason] : cases) {
        SoundBuffer buffer;
        ClearLastFailure();
        EXPECT_EQ(DecodeWavInto(buffer, PathOf(name), nullptr), 0) << name;
        EXPECT_EQ(LastFailure().text, reason) << name;
        EXPECT_TRUE(buffer.IsEmpty()) << name;
    }
    SoundBuffer buffer;
    ClearLastFailure();
    EXPECT_EQ(DecodeWavInto(buffer, PathOf("text.wav"), nullptr), 0);
    EXPECT_EQ(LastFailure().text.rfind("cannot decode this WAV file (", 0), 0u) << LastFailure().text;
    EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace brindle

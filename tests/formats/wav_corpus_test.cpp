// Every WAV file of the shared real-world corpus: it either loads with the channels, rate and frame
// count that its MANIFEST.tsv row measured with libsndfile, or it fails cleanly. Where this program
// deliberately differs from libsndfile, the file is listed below with the reason.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "formats/wav_file.h"
#include "formats/wav_test_util.h"
#include "storage/sound_buffer.h"
#include "support/test_support.h"
#include "tasks/failure.h"

namespace brindle {
namespace {

struct Expectation {
    bool loads = true;
    uint32_t frames = 0;  // 0: the manifest's libsndfile frame count
    const char* why = "";
    const char* reason = "";  // the failure's reason as the user reads it; "" for any
};

Expectation Fails(const char* why, const char* reason = "") { return {false, 0, why, reason}; }
Expectation Frames(uint32_t frames, const char* why) { return {true, frames, why, ""}; }

// Files whose outcome differs from the manifest's libsndfile column. Files libsndfile refuses, or
// reads as 0 frames, are expected to fail without being listed.
const std::map<std::string, Expectation>& Exceptions()
{
    static const std::map<std::string, Expectation> exceptions = {
        {"taglib-zero-size-chunk.wav",
         Fails("data size 0: a data chunk without samples is refused; libsndfile guesses 245 frames from the "
               "zero bytes after it",
               "no samples (empty data chunk)")},
        {"soundevent-wav_ms_adpcm.wav",
         Frames(16000, "MS ADPCM: the fact chunk says 16000; libsndfile counts whole blocks (16192)")},
        {"mm-gsm610.wav", Frames(960, "GSM 6.10: the fact chunk says 960 (ffmpeg agrees); libsndfile counts "
                                      "four blocks where the data holds three")},
        {"tinytag-mp3_audio.wav",
         Frames(46080, "MPEG Layer III in RIFF: Debian's libsndfile decodes 46080 frames (as ffmpeg does); the "
                       "manifest's libsndfile reported 47232")},
        {"taglib-rf64.wav", Fails("RF64 container: only \"RIFF\" is read", "RF64 (64-bit) WAV files do not open")},
        {"wavefile-RIFX-16bit-mono.wav",
         Fails("big-endian RIFX container: only \"RIFF\" is read", "big-endian (RIFX) WAV files do not open")},
        {"scipy-test-8000Hz-le-3ch-5S-24bit.wav",
         Fails("three channels: a sound has one or two", "3 channels (only mono and stereo open)")},
        // Files libsndfile refuses too: only the reason is checked.
        {"tinytag-empty_file.wav", Fails("0 bytes", "empty file")},
        {"taglib-segfault.wav", Fails("fmt chunk of 2 bytes", "format chunk shorter than 16 bytes")},
        {"tinytag-zero_value_properties.wav",
         Fails("fmt chunk all zeros", "no usable format chunk before the data")},
        {"libbw64-rect_24bit_wrong_fmt_size.wav",
         Fails("fmt size 17 misaligns the walk onto garbage", "damaged chunk header (size over 2 GiB)")},
    };
    return exceptions;
}

std::vector<std::string> SplitTabs(const std::string& line)
{
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, '\t'))
        fields.push_back(field);
    return fields;
}

bool Digits(const std::string& text, uint32_t& value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = uint32_t(std::stoul(text));
    return true;
}

// word is a number then suffix, as "2ch".
bool NumberThen(const std::string& word, const std::string& suffix, uint32_t& value)
{
    return word.ends_with(suffix) && Digits(word.substr(0, word.size() - suffix.size()), value);
}

struct Measured {
    std::string type;
    uint32_t channels = 0, rate = 0, frames = 0;
};

// libsndfile's column: "... WAV/PCM_16 2ch 44100Hz; frames=800". Empty when it measured nothing.
std::optional<Measured> ParseMeasured(const std::string& field)
{
    std::vector<std::string> words;
    std::stringstream stream(field);
    for (std::string word; stream >> word;)
        words.push_back(word);
    for (size_t i = 1; i + 2 < words.size(); ++i) {
        Measured m{words[i - 1]};
        if (NumberThen(words[i], "ch", m.channels) && NumberThen(words[i + 1], "Hz;", m.rate) &&
            words[i + 2].starts_with("frames=") && Digits(words[i + 2].substr(7), m.frames))
            return m;
    }
    return std::nullopt;
}

class WavCorpusTest : public test::TempDirTest {};

TEST_F(WavCorpusTest, EveryCorpusWavLoadsAsMeasuredOrFailsCleanly)
{
    const auto corpus = test::CorpusDir();
    std::ifstream manifest(corpus / "MANIFEST.tsv");
    if (!manifest)
        GTEST_SKIP() << "no corpus at " << corpus;

    std::string line;
    std::getline(manifest, line);  // column names
    int files = 0, loaded = 0;
    while (std::getline(manifest, line)) {
        const auto fields = SplitTabs(line);
        if (fields.size() < 9 || fields[1] != "wav")
            continue;
        const std::filesystem::path path = corpus / fields[0];
        const std::string name = path.filename().string();
        SCOPED_TRACE(name);
        ++files;

        Expectation expected;
        uint32_t channels = 0, rate = 0, frames = 0;
        std::string encoding;  // libsndfile's name after the container's: PCM_16, FLOAT...
        bool isDirect = false;
        if (const auto measured = ParseMeasured(fields[8])) {
            encoding = measured->type.substr(measured->type.find('/') + 1);
            isDirect = measured->type == "WAV/PCM_U8" || measured->type == "WAV/PCM_16";
            channels = measured->channels;
            rate = measured->rate;
            frames = measured->frames;
        }
        // 24- and 32-bit PCM and 32-bit float keep their resolution; everything else is held as 16-bit.
        const bool isEightBit = encoding == "PCM_U8" && isDirect;
        uint16_t width = 2;  // bytes of one sample in the file
        if (isEightBit)
            width = 1;
        else if (encoding == "PCM_24")
            width = 3;
        else if (encoding == "PCM_32" || encoding == "FLOAT")
            width = 4;
        const bool isKept = isDirect || width > 2;
        if (frames == 0)
            expected = Fails("libsndfile reads no samples");
        if (const auto found = Exceptions().find(name); found != Exceptions().end())
            expected = found->second;
        if (expected.frames != 0)
            frames = expected.frames;

        SoundBuffer buffer;
        ClearLastFailure();
        const int result = LoadWav(buffer, path, nullptr);
        if (!expected.loads) {
            EXPECT_EQ(result, 0) << expected.why;
            EXPECT_EQ(LastFailure().kind, FailureKind::Format) << "every refusal says why";
            if (*expected.reason) {
                EXPECT_EQ(LastFailure().text, expected.reason);
            }
            EXPECT_TRUE(buffer.IsEmpty());
            EXPECT_TRUE(TempFiles().empty());
            continue;
        }
        ASSERT_EQ(result, 1) << expected.why;
        ++loaded;
        EXPECT_EQ(buffer.channels.ChannelCount(), channels);
        EXPECT_EQ(buffer.format.samplesPerSecond, rate);
        EXPECT_EQ(buffer.channels.SampleRate(), rate);
        EXPECT_EQ(buffer.frameCount, frames) << expected.why;
        EXPECT_EQ(buffer.channels.FrameCount(), frames);
        EXPECT_EQ(buffer.format.formatTag, encoding == "FLOAT" ? 3 : 1);
        EXPECT_EQ(buffer.format.bitsPerSample, isKept ? 8 * width : 16);

        // 8/16-bit PCM read directly, and the finer resolutions: every sample equals the file's own
        // bytes, found by the test's independent chunk walk (frames past the bytes present are
        // silence); a 32-bit integer as the nearest float.
        const auto bytes = test::ReadFileBytes(path);
        if (isKept) {
            const auto data = test::DataChunkPayload(bytes);
            for (uint32_t c = 0; c < channels; ++c) {
                const auto samples = test::ReadStore(buffer.channels.Channel(int(c)));
                for (size_t k = 0; k < samples.size(); ++k) {
                    const size_t at = (k * channels + c) * width;
                    float expectedSample = 0.0f;
                    if (at + width <= data.size() - data.size() % (channels * width)) {
                        uint32_t word = 0;  // the sample's bytes at the top of a word
                        for (uint32_t b = 0; b < width; ++b)
                            word |= uint32_t(data[at + b]) << (8 * (4 - width + b));
                        if (isEightBit)
                            expectedSample = float(int(data[at]) - 128) / 128.0f;
                        else if (encoding == "FLOAT")
                            std::memcpy(&expectedSample, &word, sizeof word);
                        else
                            expectedSample = float(int32_t(word)) / 2147483648.0f;
                    }
                    ASSERT_EQ(samples[k], expectedSample) << "channel " << c << " frame " << k;
                }
            }
        }
        buffer.Clear();
        EXPECT_TRUE(TempFiles().empty());
    }
    EXPECT_GE(files, 40) << "the manifest lists fewer WAV files than expected";
    std::cout << files << " corpus WAV files, " << loaded << " loaded\n";
}

}  // namespace
}  // namespace brindle

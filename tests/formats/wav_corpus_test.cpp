// Every WAV file of the shared real-world corpus: it either loads with the channels, rate and frame
// count that its MANIFEST.tsv row measured with libsndfile, or it fails cleanly. Where this program
// deliberately differs from libsndfile, the file is listed below with the reason.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <regex>

#include "formats/wav_file.h"
#include "formats/wav_test_util.h"
#include "storage/sound_buffer.h"
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
const std::map<std::string, Expectation> kExceptions = {
    {"taglib-zero-size-chunk.wav",
     Fails("data size 0: a data chunk without samples is refused; libsndfile guesses 245 frames from the zero bytes "
           "after it", "no samples (empty data chunk)")},
    {"soundevent-wav_ms_adpcm.wav", Frames(16000, "MS ADPCM: the fact chunk says 16000; libsndfile counts whole blocks (16192)")},
    {"mm-gsm610.wav", Frames(960, "GSM 6.10: the fact chunk says 960 (ffmpeg agrees); libsndfile counts four blocks where "
                                  "the data holds three")},
    {"tinytag-mp3_audio.wav", Frames(46080, "MPEG Layer III in RIFF: Debian's libsndfile decodes 46080 frames (as ffmpeg "
                                            "does); the manifest's libsndfile reported 47232")},
    {"taglib-rf64.wav", Fails("RF64 container: only \"RIFF\" is read", "RF64 (64-bit) WAV files do not open")},
    {"wavefile-RIFX-16bit-mono.wav", Fails("big-endian RIFX container: only \"RIFF\" is read", "big-endian (RIFX) WAV files do not open")},
    {"scipy-test-8000Hz-le-3ch-5S-24bit.wav", Fails("three channels: a sound has one or two", "3 channels (only mono and stereo open)")},
    // Files libsndfile refuses too: only the reason is checked.
    {"tinytag-empty_file.wav", Fails("0 bytes", "empty file")},
    {"taglib-segfault.wav", Fails("fmt chunk of 2 bytes", "format chunk shorter than 16 bytes")},
    {"tinytag-zero_value_properties.wav", Fails("fmt chunk all zeros", "no usable format chunk before the data")},
    {"libbw64-rect_24bit_wrong_fmt_size.wav", Fails("fmt size 17 misaligns the walk onto garbage", "damaged chunk header (size over 2 GiB)")},
};

class WavCorpusTest : public test::TempDirTest {};

TEST_F(WavCorpusTest, EveryCorpusWavLoadsAsMeasuredOrFailsCleanly)
{
    const auto corpus = test::CorpusDir();
    std::ifstream manifest(corpus / "MANIFEST.tsv");
    if (!manifest)
        GTEST_SKIP() << "no corpus at " << corpus;
    // libsndfile's column: "... WAV/PCM_16 2ch 44100Hz; frames=800", or no match when it measured nothing.
    const std::regex measuredPattern(R"((\S+) (\d+)ch (\d+)Hz; frames=(\d+))");
    int files = 0, loaded = 0;
    for (std::string line; std::getline(manifest, line);) {
        std::vector<std::string> fields;
        for (size_t start = 0, tab = 0; tab != std::string::npos; start = tab + 1)
            fields.push_back(line.substr(start, (tab = line.find('\t', start)) - start));
        if (fields.size() < 9 || fields[1] != "wav")
            continue;
        const std::filesystem::path path = corpus / fields[0];
        const std::string name = path.filename().string();
        SCOPED_TRACE(name);
        ++files;
        std::smatch measured;
        const bool isMeasured = std::regex_search(fields[8], measured, measuredPattern);
        const std::string type = isMeasured ? measured[1].str() : "";
        const std::string encoding = type.substr(type.find('/') + 1);  // libsndfile's name: PCM_16, FLOAT...
        const uint32_t channels = isMeasured ? std::stoul(measured[2]) : 0, rate = isMeasured ? std::stoul(measured[3]) : 0;
        uint32_t frames = isMeasured ? std::stoul(measured[4]) : 0;
        // 8/16-bit PCM is read directly; 24- and 32-bit PCM and 32-bit float keep their resolution;
        // everything else is held as 16-bit.
        const bool isDirect = type == "WAV/PCM_U8" || type == "WAV/PCM_16", isEightBit = type == "WAV/PCM_U8";
        const uint32_t width = isEightBit ? 1 : encoding == "PCM_24" ? 3 : encoding == "PCM_32" || encoding == "FLOAT" ? 4 : 2;
        const bool isKept = isDirect || width > 2;
        Expectation expected = frames == 0 ? Fails("libsndfile reads no samples") : Expectation{};
        if (const auto found = kExceptions.find(name); found != kExceptions.end())
            expected = found->second;
        frames = expected.frames ? expected.frames : frames;

        SoundBuffer buffer;
        ClearLastFailure();
        const int result = LoadWav(buffer, path, nullptr);
        if (!expected.loads) {  // every refusal says why
            EXPECT_EQ(std::tuple(result, LastFailure().kind, buffer.IsEmpty(), TempFiles().empty()), std::tuple(0, FailureKind::Format, true, true))
                << expected.why;
            EXPECT_EQ(LastFailure().text, *expected.reason ? expected.reason : LastFailure().text);
            continue;
        }
        ASSERT_EQ(result, 1) << expected.why;
        ++loaded;
        const auto& f = buffer.format;
        EXPECT_EQ(std::tuple(buffer.channels.ChannelCount(), f.samplesPerSecond, buffer.channels.SampleRate(), buffer.frameCount,
                             buffer.channels.FrameCount(), f.formatTag, f.bitsPerSample),
                  std::tuple(channels, rate, rate, frames, frames, encoding == "FLOAT" ? 3 : 1, isKept ? 8 * width : 16))
            << expected.why;
        // Every sample kept equals the file's own bytes, found by the tests' own chunk walk (frames past
        // the bytes present are silence); a 32-bit integer as the nearest float.
        const auto data = isKept ? test::ChunkPayload(test::ReadFileBytes(path), "data") : test::Bytes();
        for (uint32_t c = 0; isKept && c < channels; ++c) {
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
        buffer.Clear();
        EXPECT_TRUE(TempFiles().empty());
    }
    EXPECT_GE(files, 40) << "the manifest lists fewer WAV files than expected";
    std::cout << files << " corpus WAV files, " << loaded << " loaded\n";
}

}  // namespace
}  // namespace brindle

// Loudness against ffmpeg's ebur128 filter on the same files: integrated loudness and loudness range
// within 0.1 LU, true peak close; and brindle-batch's --loudness, measured afterwards by ffmpeg,
// reaching its target or stopping at the ceiling.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "document/document.h"
#include "edit/loudness.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;

struct Reference {
    double integrated = NAN, range = NAN, truePeak = NAN;
};

// The summary ffmpeg's ebur128 filter prints at the end of a pass over the file.
Reference Ffmpeg(const fs::path& file, const fs::path& log)
{
    EXPECT_EQ(RunCommand("ffmpeg -nostats -hide_banner -i " + Quoted(file) + " -af ebur128=peak=true -f null - 2>" +
                         Quoted(log)),
              0);
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    const std::string summary = all.substr(std::min(all.size(), all.rfind("Summary:")));
    auto value = [&](const std::string& key) {
        const size_t at = summary.find(key);
        return at == std::string::npos ? NAN : std::stod(summary.substr(at + key.size()));
    };
    return {value("I:"), value("LRA:"), value("Peak:")};
}

class LoudnessTest : public TempDirTest {
protected:
    fs::path Make(const std::string& name, const std::string& synth)
    {
        const fs::path path = PathOf(name);
        EXPECT_EQ(RunCommand("sox -R -D -n " + synth.substr(0, synth.find(" synth ")) + " " + Quoted(path) +
                             synth.substr(synth.find(" synth "))),
                  0)
            << synth;
        return path;
    }
};

struct Signal {
    const char* name;
    const char* synth;  // sox's output options, then its effects
    // The loudness range is a spread of percentiles: where the short-term loudness sweeps 20 LU in a
    // few seconds, meters that differ by a 100 ms step in where their windows fall read it up to half
    // a LU apart.
    double rangeTolerance = 0.1;
};

class LoudnessAgainstFfmpeg : public LoudnessTest, public ::testing::WithParamInterface<Signal> {};

TEST_P(LoudnessAgainstFfmpeg, FiguresMatchTheEbur128Filter)
{
    const fs::path file = Make("signal.wav", GetParam().synth);
    const Reference reference = Ffmpeg(file, PathOf("ffmpeg.txt"));
    Document document;
    ASSERT_EQ(document.Load(file), 1);
    ASSERT_EQ(document.Measure(-1, -1), 1);
    const LoudnessFigures& ours = document.Measured();
    // ffmpeg prints a tenth: its own rounding is 0.05 of the 0.1.
    EXPECT_NEAR(ours.integratedLufs, reference.integrated, 0.1);
    EXPECT_NEAR(ours.rangeLu, reference.range, GetParam().rangeTolerance);
    EXPECT_NEAR(ours.truePeakDbfs, reference.truePeak, 0.2);
    EXPECT_LE(ours.samplePeakDbfs, ours.truePeakDbfs + 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Loudness, LoudnessAgainstFfmpeg,
    ::testing::Values(Signal{"StereoPinkNoise", "-r 44100 -c 2 -b 16 synth 20 pinknoise vol 0.3"},
                      Signal{"StereoWithSwells", "-r 48000 -c 2 -b 24 synth 30 pinknoise tremolo 0.1 90 vol 0.5", 0.5},
                      Signal{"MonoTone", "-r 48000 -c 1 -b 16 synth 10 sine 997 vol 0.1"},
                      Signal{"DifferentChannels", "-r 44100 -c 2 -b 16 synth 15 sine 300 brownnoise vol 0.4"},
                      Signal{"LowRate", "-r 22050 -c 1 -b 16 synth 12 pinknoise tremolo 0.3 60 vol 0.2"}),
    [](const auto& info) { return std::string(info.param.name); });

// Real recordings of the shared corpus, as ffmpeg reads the same files. Their loudness range is not
// compared: they are too short for it (ffmpeg counts windows that end before the first 3 s have
// passed, the range's definition does not).
TEST_F(LoudnessTest, CorpusFilesMatchTheEbur128Filter)
{
    const fs::path files[] = {CorpusDir() / "wav/wavefile-16bit-96000Hz-mono-chirp.wav",
                              CorpusDir() / "wav/tinytag-test3sMono.wav"};
    if (!fs::exists(files[0]))
        GTEST_SKIP() << "no corpus at " << CorpusDir();
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const Reference reference = Ffmpeg(file, PathOf("ffmpeg.txt"));
        Document document;
        ASSERT_EQ(document.Load(file), 1);
        ASSERT_EQ(document.Measure(-1, -1), 1);
        EXPECT_NEAR(document.Measured().integratedLufs, reference.integrated, 0.1);
        EXPECT_NEAR(document.Measured().truePeakDbfs, reference.truePeak, 0.2);
    }
}

// A range measures only itself: the loud half of a sound reads as loud as that half alone.
TEST_F(LoudnessTest, RangeMeasuresOnlyItself)
{
    const fs::path quiet = Make("quiet.wav", "-r 44100 -c 2 -b 16 synth 5 pinknoise vol 0.02");
    const fs::path loud = Make("loud.wav", "-r 44100 -c 2 -b 16 synth 5 pinknoise vol 0.5");
    const fs::path both = PathOf("both.wav");
    ASSERT_EQ(RunCommand("sox " + Quoted(quiet) + " " + Quoted(loud) + " " + Quoted(both)), 0);
    const Reference reference = Ffmpeg(loud, PathOf("ffmpeg.txt"));
    Document document;
    ASSERT_EQ(document.Load(both), 1);
    ASSERT_EQ(document.Measure(5 * 44100, 10 * 44100), 1);
    EXPECT_NEAR(document.Measured().integratedLufs, reference.integrated, 0.1);
    // Silence and a range shorter than one gating block have no loudness.
    ASSERT_EQ(document.Measure(0, 1000), 1);
    EXPECT_TRUE(std::isinf(document.Measured().integratedLufs));
}

// brindle-batch --loudness: one gain to the target, as ffmpeg measures the result; a gain that would
// put the true peak over -1 dBFS stops there and says so.
TEST_F(LoudnessTest, BatchNormalizesToTheTargetOrTheCeiling)
{
    const fs::path speech = Make("speech.wav", "-r 48000 -c 1 -b 24 synth 20 pinknoise tremolo 0.5 80 vol 0.05");
    const fs::path out = PathOf("out.wav"), log = PathOf("stderr.txt");
    for (const double target : {-16.0, -23.0, -14.0}) {
        SCOPED_TRACE(target);
        ASSERT_EQ(RunCommand(std::string(BRINDLE_BATCH) + " -q " + Quoted(speech) + " --loudness " +
                             std::to_string(target) + " -o " + Quoted(out) + " 2>" + Quoted(log)),
                  0);
        const Reference after = Ffmpeg(out, PathOf("ffmpeg.txt"));
        if (after.truePeak < -1.2)
            EXPECT_NEAR(after.integrated, target, 0.1);
        else
            EXPECT_LE(after.truePeak, -1.0 + 0.2);
    }
    // Noise whose peaks stand well above its loudness: -6 LUFS would need more than the ceiling allows.
    const fs::path peaky = Make("peaky.wav", "-r 44100 -c 2 -b 16 synth 10 pinknoise vol 0.3");
    const Reference before = Ffmpeg(peaky, PathOf("ffmpeg.txt"));
    ASSERT_EQ(RunCommand(std::string(BRINDLE_BATCH) + " " + Quoted(peaky) + " --loudness -6 -o " + Quoted(out) +
                         " 2>" + Quoted(log)),
              0);
    std::ifstream in(log);
    std::stringstream said;
    said << in.rdbuf();
    EXPECT_NE(said.str().find("would put the true peak over -1.0 dBFS"), std::string::npos) << said.str();
    const Reference after = Ffmpeg(out, PathOf("ffmpeg.txt"));
    EXPECT_NEAR(after.truePeak, -1.0, 0.2);
    EXPECT_LT(after.integrated, -6.0);
    EXPECT_GT(after.integrated, before.integrated);
}

TEST(LoudnessGain, PercentAndCeilingArithmetic)
{
    LoudnessFigures figures;
    figures.integratedLufs = -20;
    figures.truePeakDbfs = -3;
    EXPECT_DOUBLE_EQ(GainToTarget(figures, -16), 4.0);
    EXPECT_DOUBLE_EQ(GainToCeiling(figures, -1), 2.0);
    EXPECT_EQ(GainPercent(0), 100);
    EXPECT_EQ(GainPercent(6.0206), 200);
    EXPECT_EQ(GainPercent(-6.0206), 50);
    figures.integratedLufs = -HUGE_VAL;
    EXPECT_DOUBLE_EQ(GainToTarget(figures, -16), 0.0);
}

}  // namespace
}  // namespace brindle::test

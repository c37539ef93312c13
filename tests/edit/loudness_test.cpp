// Loudness against ffmpeg's ebur128 filter on the same files: integrated loudness and loudness range
// within 0.1 LU (ffmpeg prints tenths), true peak close; and brindle-batch's --loudness, measured
// afterwards by ffmpeg, reaching its target or stopping at the ceiling.
#include <gtest/gtest.h>

#include <cmath>

#include "document/document.h"
#include "edit/loudness.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path)
{
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    return {bytes.begin(), bytes.end()};
}

struct Reference {
    double integrated, range, truePeak;
};

class LoudnessTest : public TempDirTest {
protected:
    // sox's output options, then " synth ..." and its effects.
    fs::path Make(const std::string& name, const std::string& synth)
    {
        const size_t effects = synth.find(" synth ");
        EXPECT_EQ(RunCommand("sox -R -D -n " + synth.substr(0, effects) + " " + Quoted(PathOf(name)) + synth.substr(effects)), 0)
            << synth;
        return PathOf(name);
    }
    // The summary ffmpeg's ebur128 filter prints at the end of a pass over the file.
    Reference Ffmpeg(const fs::path& file)
    {
        const fs::path log = PathOf("ffmpeg.txt");
        EXPECT_EQ(RunCommand("ffmpeg -nostats -hide_banner -i " + Quoted(file) + " -af ebur128=peak=true -f null - 2>" +
                             Quoted(log)),
                  0);
        const std::string all = Slurp(log), summary = all.substr(std::min(all.size(), all.rfind("Summary:")));
        auto value = [&](const std::string& key) {
            const size_t at = summary.find(key);
            return at == std::string::npos ? NAN : std::stod(summary.substr(at + key.size()));
        };
        return {value("I:"), value("LRA:"), value("Peak:")};
    }
    // Loads file and measures frames [start, end) of it.
    LoudnessFigures Measure(const fs::path& file, int64_t start = -1, int64_t end = -1)
    {
        Document document;
        EXPECT_EQ(document.Load(file), 1);
        EXPECT_EQ(document.Measure(start, end), 1);
        return document.Measured();
    }
};

struct Signal {
    const char* name;
    const char* synth;  // or, with corpus set, a file of the shared corpus
    // Where the short-term loudness sweeps 20 LU in a few seconds, meters whose 100 ms windows fall
    // differently read the range up to half a LU apart. Corpus files are too short for a range (ffmpeg
    // counts windows that end before the first 3 s have passed, the range's definition does not).
    double rangeTolerance = 0.1;
    bool corpus = false;
};

class LoudnessAgainstFfmpeg : public LoudnessTest, public ::testing::WithParamInterface<Signal> {};

TEST_P(LoudnessAgainstFfmpeg, FiguresMatchTheEbur128Filter)
{
    const Signal& signal = GetParam();
    if (signal.corpus && !fs::exists(CorpusDir() / signal.synth))
        GTEST_SKIP() << "no corpus at " << CorpusDir();
    const fs::path file = signal.corpus ? CorpusDir() / signal.synth : Make("signal.wav", signal.synth);
    const Reference reference = Ffmpeg(file);
    const LoudnessFigures ours = Measure(file);
    EXPECT_NEAR(ours.integratedLufs, reference.integrated, 0.1);
    if (!signal.corpus) {
        EXPECT_NEAR(ours.rangeLu, reference.range, signal.rangeTolerance);
    }
    EXPECT_NEAR(ours.truePeakDbfs, reference.truePeak, 0.2);
    EXPECT_LE(ours.samplePeakDbfs, ours.truePeakDbfs + 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Loudness, LoudnessAgainstFfmpeg,
    ::testing::Values(Signal{"StereoPinkNoise", "-r 44100 -c 2 -b 16 synth 20 pinknoise vol 0.3"},
                      Signal{"StereoWithSwells", "-r 48000 -c 2 -b 24 synth 30 pinknoise tremolo 0.1 90 vol 0.5", 0.5},
                      Signal{"MonoTone", "-r 48000 -c 1 -b 16 synth 10 sine 997 vol 0.1"},
                      Signal{"DifferentChannels", "-r 44100 -c 2 -b 16 synth 15 sine 300 brownnoise vol 0.4"},
                      Signal{"LowRate", "-r 22050 -c 1 -b 16 synth 12 pinknoise tremolo 0.3 60 vol 0.2"},
                      Signal{"CorpusChirp", "wav/wavefile-16bit-96000Hz-mono-chirp.wav", 0, true},
                      Signal{"CorpusShortMono", "wav/tinytag-test3sMono.wav", 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A range measures only itself: the loud half of a sound reads as loud as that half alone. Silence
// and a range shorter than one gating block have no loudness.
TEST_F(LoudnessTest, RangeMeasuresOnlyItself)
{
    const fs::path quiet = Make("quiet.wav", "-r 44100 -c 2 -b 16 synth 5 pinknoise vol 0.02");
    const fs::path loud = Make("loud.wav", "-r 44100 -c 2 -b 16 synth 5 pinknoise vol 0.5");
    ASSERT_EQ(RunCommand("sox " + Quoted(quiet) + " " + Quoted(loud) + " " + Quoted(PathOf("both.wav"))), 0);
    EXPECT_NEAR(Measure(PathOf("both.wav"), 5 * 44100, 10 * 44100).integratedLufs, Ffmpeg(loud).integrated, 0.1);
    EXPECT_TRUE(std::isinf(Measure(PathOf("both.wav"), 0, 1000).integratedLufs));
}

// One gain to the target, as ffmpeg measures the result; a gain that would put the true peak over
// -1 dBFS stops there and says so.
TEST_F(LoudnessTest, BatchNormalizesToTheTargetOrTheCeiling)
{
    const fs::path speech = Make("speech.wav", "-r 48000 -c 1 -b 24 synth 10 pinknoise tremolo 0.5 80 vol 0.05");
    const fs::path peaky = Make("peaky.wav", "-r 44100 -c 2 -b 16 synth 5 pinknoise vol 0.3");
    const fs::path out = PathOf("out.wav"), log = PathOf("stderr.txt");
    auto normalize = [&](const fs::path& in, double target) {
        EXPECT_EQ(RunCommand(std::string(BRINDLE_BATCH) + " " + Quoted(in) + " --loudness " + std::to_string(target) +
                             " -o " + Quoted(out) + " 2>" + Quoted(log)),
                  0);
        return Ffmpeg(out);
    };
    for (const double target : {-16.0, -23.0, -14.0}) {
        SCOPED_TRACE(target);
        const Reference after = normalize(speech, target);
        if (after.truePeak < -1.2) {
            EXPECT_NEAR(after.integrated, target, 0.1);
        } else {
            EXPECT_LE(after.truePeak, -1.0 + 0.2);
        }
    }
    // Noise whose peaks stand well above its loudness: -6 LUFS would need more than the ceiling allows.
    const Reference before = Ffmpeg(peaky), after = normalize(peaky, -6);
    EXPECT_NE(Slurp(log).find("would put the true peak over -1.0 dBFS"), std::string::npos) << Slurp(log);
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

// Cut, copy, paste and inserted silence against a plain model of the samples: within a file, between
// files, from other rates (against sox's own resampling) and channel counts.
#include <gtest/gtest.h>

#include <cmath>

#include "document/document.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;
using Channels = std::vector<std::vector<float>>;

Channels Samples(const Document& document) { return SamplesOf(document.ActiveBuffer()); }

// [from, to) of every channel.
Channels Range(const Channels& sound, int64_t from, int64_t to)
{
    Channels out;
    for (const auto& channel : sound)
        out.emplace_back(channel.begin() + from, channel.begin() + to);
    return out;
}

// sound with [start, end) replaced by clip, fitted to the sound's channels as the mono and stereo
// rules fit it: a mono clip doubled, a stereo one summed (these sounds are quiet enough never to clip).
Channels Spliced(const Channels& sound, int64_t start, int64_t end, Channels clip)
{
    if (clip.size() == 1 && sound.size() == 2)
        clip.push_back(clip[0]);
    for (size_t k = 0; clip.size() == 2 && sound.size() == 1 && k < clip[0].size(); ++k)
        clip[0][k] += clip[1][k];
    Channels out = Range(sound, 0, start);
    for (size_t c = 0; c < sound.size(); ++c) {
        out[c].insert(out[c].end(), clip[c].begin(), clip[c].end());
        out[c].insert(out[c].end(), sound[c].begin() + end, sound[c].end());
    }
    return out;
}

class PasteTest : public TempDirTest {
protected:
    fs::path Tone(const std::string& name, int rate, int channels, int frequency, double seconds = 2)
    {
        EXPECT_EQ(RunCommand("sox -D -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -b 16 " +
                             Quoted(PathOf(name)) + " synth " + std::to_string(seconds) + " sine " + std::to_string(frequency) +
                             (channels == 2 ? " sine " + std::to_string(frequency * 3 / 2) : std::string()) + " vol 0.3"),
                  0);
        return PathOf(name);
    }
};

TEST_F(PasteTest, PasteIsTheSplicedSamples)
{
    const struct {
        const char* name;
        int channels;                // the target's
        int clipRate, clipChannels;  // the file copied from (the same file when 0)
        int64_t from, to;            // copied
        int64_t start, end;          // replaced in the target (start == end inserts)
    } cases[] = {{"WithinReplacing", 2, 0, 0, 1000, 5000, 20000, 20100},
                 {"WithinAtStart", 2, 0, 0, 30000, 30001, 0, 0},
                 {"WithinAtEnd", 2, 0, 0, 0, 88200, 88200, 88200},
                 {"WithinOverItself", 2, 0, 0, 100, 60000, 50, 70000},
                 {"BetweenFiles", 2, 44100, 2, 2000, 9000, 40000, 40000},
                 {"MonoIntoStereo", 2, 44100, 1, 0, 44100, 10, 88000},
                 {"BetweenFilesAtStart", 2, 44100, 2, 500, 1500, 0, 0},
                 {"StereoIntoMono", 1, 44100, 2, 100, 4100, 500, 500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Document document;
        ASSERT_EQ(document.Load(Tone("target.wav", 44100, c.channels, 440)), 1);
        const Channels before = Samples(document);
        Channels clip = Range(before, c.from, c.to);
        if (c.clipRate == 0) {
            ASSERT_EQ(document.CopyToClip(c.from, c.to), 1);
        } else {  // the clip outlives the document it came from
            Document source;
            ASSERT_EQ(source.Load(Tone("other.wav", c.clipRate, c.clipChannels, 1000)), 1);
            ASSERT_EQ(document.SetClip(source.ActiveBuffer(), c.from, c.to), 1);
            clip = Range(Samples(source), c.from, c.to);
        }
        ASSERT_EQ(document.Paste(c.start, c.end), 1) << document.LastFailure().text;
        EXPECT_EQ(Samples(document), Spliced(before, c.start, c.end, clip));
        EXPECT_EQ(document.ActiveBuffer().frameCount, document.ActiveBuffer().channels.FrameCount());
        EditMarks marks;
        ASSERT_EQ(document.Undo(marks), 1);
        EXPECT_EQ(Samples(document), before);
    }
}

// A clip of another rate comes in at the sound's rate, as sox's high-quality resampling makes it.
TEST_F(PasteTest, ClipOfAnotherRateIsResampled)
{
    for (const int rate : {22050, 48000}) {
        SCOPED_TRACE(rate);
        Document target, source, reference;
        ASSERT_EQ(target.Load(Tone("target.wav", 44100, 1, 440)), 1);
        const fs::path other = Tone("other.wav", rate, 1, 1000, 1), resampled = PathOf("resampled.wav");
        ASSERT_EQ(RunCommand("sox -D " + Quoted(other) + " -e floating-point -b 32 " + Quoted(resampled) + " rate -h 44100"), 0);
        ASSERT_EQ(source.Load(other), 1);
        ASSERT_EQ(reference.Load(resampled), 1);
        const Channels before = Samples(target);
        ASSERT_EQ(target.SetClip(source.ActiveBuffer(), 0, rate), 1);
        ASSERT_EQ(target.Paste(1000, 1000), 1);
        const Channels after = Samples(target), expected = Samples(reference);
        ASSERT_EQ(after[0].size(), before[0].size() + 44100);
        ASSERT_EQ(expected[0].size(), 44100u);
        EXPECT_EQ(Range(after, 0, 1000), Range(before, 0, 1000));
        EXPECT_EQ(Range(after, 1000 + 44100, int64_t(after[0].size())), Range(before, 1000, int64_t(before[0].size())));
        double most = 0;  // away from the ends, where the two filters start and stop differently
        for (size_t k = 2000; k + 2000 < 44100; ++k)
            most = std::max(most, std::fabs(double(after[0][1000 + k]) - expected[0][k]));
        EXPECT_LT(most, 2e-3);
    }
}

// A cut moves audio within the file; silence goes in as zeros and is selected as a paste is.
TEST_F(PasteTest, CutThenPasteMovesAndSilenceIsZeros)
{
    Document document;
    ASSERT_EQ(document.Load(Tone("a.wav", 44100, 2, 440)), 1);
    const Channels before = Samples(document);
    ASSERT_EQ(document.CopyToClip(1000, 3000), 1);
    ASSERT_EQ(document.Edit({EditKind::Cut, 1000, 3000}), 1);
    ASSERT_EQ(document.Paste(50000, 50000), 1);
    const Channels moved = Spliced(Spliced(before, 1000, 3000, Channels(2)), 50000, 50000, Range(before, 1000, 3000));
    EXPECT_EQ(Samples(document), moved);
    ASSERT_EQ(document.InsertSilence(10, 20, 441), 1);
    EXPECT_EQ(Samples(document), Spliced(moved, 10, 20, Channels(2, std::vector<float>(441, 0.0f))));
    EXPECT_EQ(document.History().StepCount(), 3u);
}

}  // namespace
}  // namespace brindle::test

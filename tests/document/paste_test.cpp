// Cut, copy, paste and inserted silence against a plain model of the samples: within a file, between
// files, from other rates (against sox's own resampling) and channel counts; and a clip taken from a
// sound that an open replaced, pasted, killed and recovered from the session folder alone.
#include <gtest/gtest.h>

#include <cmath>

#include "document/document.h"
#include "document/session.h"
#include "edit/paste.h"
#include "support/test_support.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;
using Channels = std::vector<std::vector<float>>;

Channels Samples(const SoundBuffer& sound)
{
    Channels channels;
    for (int c = 0; c < sound.channels.ChannelCount(); ++c)
        channels.push_back(ReadStore(sound.channels.Channel(c)));
    return channels;
}

// [from, to) of every channel.
Channels Range(const Channels& sound, int64_t from, int64_t to)
{
    Channels out;
    for (const auto& channel : sound)
        out.emplace_back(channel.begin() + from, channel.begin() + to);
    return out;
}

// sound with [start, end) replaced by clip.
Channels Spliced(const Channels& sound, int64_t start, int64_t end, const Channels& clip)
{
    Channels out;
    for (size_t c = 0; c < sound.size(); ++c) {
        std::vector<float> channel(sound[c].begin(), sound[c].begin() + start);
        channel.insert(channel.end(), clip[c].begin(), clip[c].end());
        channel.insert(channel.end(), sound[c].begin() + end, sound[c].end());
        out.push_back(std::move(channel));
    }
    return out;
}

// A clip as the mono and stereo rules make it fit `channels` channels: a mono clip doubled, a stereo
// one summed (these sounds are quiet enough never to clip).
Channels Fitted(const Channels& clip, size_t channels)
{
    if (clip.size() == channels)
        return clip;
    if (channels == 2)
        return {clip[0], clip[0]};
    std::vector<float> sum(clip[0].size());
    for (size_t k = 0; k < sum.size(); ++k)
        sum[k] = clip[0][k] + clip[1][k];
    return {sum};
}

class PasteTest : public TempDirTest {
protected:
    fs::path Tone(const std::string& name, int rate, int channels, int frequency, double seconds = 2)
    {
        const fs::path path = PathOf(name);
        EXPECT_EQ(RunCommand("sox -D -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) + " -b 16 " +
                             Quoted(path) + " synth " + std::to_string(seconds) + " sine " + std::to_string(frequency) +
                             (channels == 2 ? " sine " + std::to_string(frequency * 3 / 2) : std::string()) + " vol 0.3"),
                  0);
        return path;
    }
};

struct PasteCase {
    const char* name;
    int clipRate, clipChannels;  // the file copied from (the same file when 0)
    int64_t from, to;            // copied
    int64_t start, end;          // replaced in the target (start == end inserts)
};

class PasteModel : public PasteTest, public ::testing::WithParamInterface<PasteCase> {};

TEST_P(PasteModel, PasteIsTheSplicedSamples)
{
    const PasteCase& c = GetParam();
    const fs::path target = Tone("target.wav", 44100, 2, 440);
    Document document;
    ASSERT_EQ(document.Load(target), 1);
    const Channels before = Samples(document.ActiveBuffer());
    Channels clip;
    if (c.clipRate == 0) {
        ASSERT_EQ(document.CopyToClip(c.from, c.to), 1);
        clip = Range(before, c.from, c.to);
    } else {
        const fs::path other = Tone("other.wav", c.clipRate, c.clipChannels, 1000);
        Document source;
        ASSERT_EQ(source.Load(other), 1);
        ASSERT_EQ(document.SetClip(source.ActiveBuffer(), c.from, c.to), 1);
        clip = Fitted(Range(Samples(source.ActiveBuffer()), c.from, c.to), before.size());
    }
    ASSERT_EQ(document.Paste(c.start, c.end), 1) << document.LastFailure().text;
    EXPECT_EQ(Samples(document.ActiveBuffer()), Spliced(before, c.start, c.end, clip));
    EXPECT_EQ(document.ActiveBuffer().frameCount, document.ActiveBuffer().channels.FrameCount());
    EditMarks marks;
    ASSERT_EQ(document.Undo(marks), 1);
    EXPECT_EQ(Samples(document.ActiveBuffer()), before);
}

INSTANTIATE_TEST_SUITE_P(Paste, PasteModel,
                         ::testing::Values(PasteCase{"WithinReplacing", 0, 0, 1000, 5000, 20000, 20100},
                                           PasteCase{"WithinAtStart", 0, 0, 30000, 30001, 0, 0},
                                           PasteCase{"WithinAtEnd", 0, 0, 0, 88200, 88200, 88200},
                                           PasteCase{"WithinOverItself", 0, 0, 100, 60000, 50, 70000},
                                           PasteCase{"BetweenFiles", 44100, 2, 2000, 9000, 40000, 40000},
                                           PasteCase{"MonoIntoStereo", 44100, 1, 0, 44100, 10, 88000},
                                           PasteCase{"BetweenFilesAtStart", 44100, 2, 500, 1500, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A stereo clip into a mono sound: the clip is mixed as the mono edit mixes.
TEST_F(PasteTest, StereoClipIntoMonoSoundIsMixed)
{
    Document mono, stereo;
    ASSERT_EQ(mono.Load(Tone("mono.wav", 44100, 1, 300)), 1);
    ASSERT_EQ(stereo.Load(Tone("stereo.wav", 44100, 2, 700)), 1);
    const Channels before = Samples(mono.ActiveBuffer());
    ASSERT_EQ(mono.SetClip(stereo.ActiveBuffer(), 100, 4100), 1);
    ASSERT_EQ(mono.Paste(500, 500), 1);
    EXPECT_EQ(Samples(mono.ActiveBuffer()), Spliced(before, 500, 500, Fitted(Range(Samples(stereo.ActiveBuffer()), 100, 4100), 1)));
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
        const Channels before = Samples(target.ActiveBuffer());
        ASSERT_EQ(target.SetClip(source.ActiveBuffer(), 0, rate), 1);
        ASSERT_EQ(target.Paste(1000, 1000), 1);
        const Channels after = Samples(target.ActiveBuffer()), expected = Samples(reference.ActiveBuffer());
        ASSERT_EQ(after[0].size(), before[0].size() + 44100);
        ASSERT_EQ(expected[0].size(), 44100u);
        EXPECT_EQ(Range(after, 0, 1000), Range(before, 0, 1000));
        EXPECT_EQ(Range(after, 1000 + 44100, int64_t(after[0].size())), Range(before, 1000, int64_t(before[0].size())));
        // Away from the ends, where the two filters start and stop differently.
        double most = 0;
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
    const Channels before = Samples(document.ActiveBuffer());
    ASSERT_EQ(document.CopyToClip(1000, 3000), 1);
    ASSERT_EQ(document.Edit({EditKind::Cut, 1000, 3000}), 1);
    ASSERT_EQ(document.Paste(50000, 50000), 1);
    const Channels moved = Spliced(Spliced(before, 1000, 3000, Channels(2)), 50000, 50000, Range(before, 1000, 3000));
    EXPECT_EQ(Samples(document.ActiveBuffer()), moved);
    ASSERT_EQ(document.InsertSilence(10, 20, 441), 1);
    EXPECT_EQ(Samples(document.ActiveBuffer()),
              Spliced(moved, 10, 20, Channels(2, std::vector<float>(441, 0.0f))));
    EXPECT_EQ(document.History().StepCount(), 3u);
}

// The clip outlives the sound it came from: taken from one file, kept across the open of another
// (whose session forgets the first sound's stores), pasted, killed and recovered from the folder.
TEST_F(PasteTest, ClipFromAReplacedSoundSurvivesAKill)
{
    const fs::path state = PathOf("state");
    std::string reason;
    auto session = Session::Create(state, reason);
    ASSERT_TRUE(session) << reason;
    Document document;
    document.SetSession(session.get());
    ASSERT_EQ(document.Load(Tone("first.wav", 44100, 2, 440)), 1);
    const Channels clip = Range(Samples(document.ActiveBuffer()), 4000, 40000);
    ASSERT_EQ(document.CopyToClip(4000, 40000), 1);
    ASSERT_EQ(document.Load(Tone("second.wav", 44100, 2, 900)), 1);
    const Channels second = Samples(document.ActiveBuffer());
    ASSERT_EQ(document.Paste(100, 200), 1);
    const Channels pasted = Spliced(second, 100, 200, clip);
    ASSERT_EQ(Samples(document.ActiveBuffer()), pasted);

    // As a kill leaves it: the session's lock gone, every file of its folder kept.
    document.SetSession(nullptr);
    session.reset();
    std::vector<OrphanSession> orphans = ClaimOrphanSessions(state);
    ASSERT_EQ(orphans.size(), 1u);
    RecoveredHistory history;
    ASSERT_TRUE(orphans[0].Read(history, reason)) << reason;
    auto adopted = orphans[0].Adopt(reason);
    ASSERT_TRUE(adopted) << reason;
    Document recovered;
    recovered.SetSession(adopted.get());
    ASSERT_EQ(recovered.Recover(std::move(history)), 1);
    EXPECT_EQ(Samples(recovered.ActiveBuffer()), pasted);
    EditMarks marks;
    ASSERT_EQ(recovered.Undo(marks), 1);
    EXPECT_EQ(Samples(recovered.ActiveBuffer()), second);
    // The clip is still the editor's, and pastes again.
    ASSERT_EQ(document.Paste(0, 0), 1);
    EXPECT_EQ(Samples(document.ActiveBuffer()), Spliced(pasted, 0, 0, clip));
}

}  // namespace
}  // namespace brindle::test

// The bucket summary must give, at every width, exactly the columns of the one-pass peaks: the
// waveform is drawn from it, and a single differing column would show as a different picture.
#include "edit/peak_summary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "storage/sound_buffer.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using Peaks = std::array<std::vector<PeakColumn>, 2>;

class PeakSummaryTest : public test::TempDirTest {
protected:
    // channels of raw floats made by sox with the given synth arguments.
    void MakeSound(int channels, const std::string& synth)
    {
        const auto raw = PathOf("sound.f32");
        ASSERT_EQ(test::RunCommand("sox -r 44100 -n -r 44100 -c " + std::to_string(channels) + " -t f32 " + test::Quoted(raw) +
                                   " synth " + synth),
                  0);
        const auto bytes = test::ReadFileBytes(raw);
        const size_t frames = bytes.size() / (4 * size_t(channels));
        for (int c = 0; c < 2; ++c)
            samples_[c].assign(c < channels ? frames : 0, 0.0f);
        for (size_t f = 0; f < frames; ++f) {
            for (int c = 0; c < channels; ++c)
                std::memcpy(&samples_[c][f], &bytes[(f * size_t(channels) + size_t(c)) * 4], 4);
        }
        ASSERT_EQ(buffer_.channels.Allocate(uint16_t(channels), uint32_t(frames), 44100), 1);
    }
    void Store()
    {
        for (int c = 0; c < buffer_.channels.ChannelCount(); ++c)
            test::FillStore(buffer_.channels.Channel(c), samples_[c]);
    }
    // Every width in widths, summary against the one-pass peaks, column by column; over the whole
    // sound, or over frames [first, end) when end is above 0.
    void ExpectSameColumns(const PeakSummary& summary, std::initializer_list<uint32_t> widths, int64_t first = 0,
                           int64_t end = 0)
    {
        const uint32_t frames = buffer_.channels.FrameCount();
        for (uint32_t width : widths) {
            Peaks expected, derived;
            if (end > 0) {
                ASSERT_EQ(ComputeColumnPeaks(buffer_.channels, first, end, width, expected), 1);
                ASSERT_EQ(summary.ComputeColumns(buffer_.channels, first, end, width, derived), 1)
                    << "width " << width << " frames " << first << ".." << end;
            } else {
                ComputeColumnPeaks(buffer_.channels, 0, frames, width, expected);
                ASSERT_EQ(summary.ComputeColumns(buffer_.channels, width, derived), 1) << "width " << width;
            }
            for (int c = 0; c < 2; ++c) {
                ASSERT_EQ(derived[size_t(c)].size(), expected[size_t(c)].size()) << "width " << width;
                for (size_t i = 0; i < expected[size_t(c)].size(); ++i) {
                    ASSERT_EQ(derived[size_t(c)][i].max, expected[size_t(c)][i].max)
                        << "width " << width << " column " << i << " channel " << c << " from " << first;
                    ASSERT_EQ(derived[size_t(c)][i].min, expected[size_t(c)][i].min)
                        << "width " << width << " column " << i << " channel " << c << " from " << first;
                }
            }
        }
    }

    std::vector<float> samples_[2];
    SoundBuffer buffer_;
};

TEST_F(PeakSummaryTest, EveryWidthOfALongStereoSoundMatchesTheOnePassPeaks)
{
    // 25 seconds cross the store's block boundaries and are long enough for the second channel to
    // be read on a thread of its own; 1,102,500 frames are not a whole number of buckets.
    MakeSound(2, "25 pinknoise vol 0.8");
    const size_t frames = samples_[0].size();
    ASSERT_EQ(frames, 1102500u);
    // What the peaks treat specially, each placed where a raw edge or a whole bucket must carry it:
    // full scale on the frame that opens a column at 1000 columns (never folded in), and on the
    // frame after it (folded in), inside a bucket and on a bucket's first frame; damaged samples and
    // clipping past full scale.
    const size_t opening = (5 * frames + 999) / 1000;
    samples_[0][opening] = 1.0f;
    samples_[1][opening] = -1.0f;
    samples_[0][(17 * frames + 999) / 1000 + 1] = 1.0f;
    samples_[1][PeakSummary::kBucketFrames * 900] = -1.0f;
    samples_[0][opening + 7] = std::numeric_limits<float>::quiet_NaN();
    samples_[1][300100] = std::numeric_limits<float>::infinity();
    samples_[0][400000] = -1.5f;
    samples_[1][262144] = 0.999f;
    Store();

    PeakSummary summary;
    ASSERT_EQ(summary.Build(buffer_.channels), 1);
    EXPECT_EQ(summary.BucketCount(), 2 * ((frames + 255) / 256)) << "one store a channel";
    ExpectSameColumns(summary, {1, 2, 3, 7, 255, 256, 257, 599, 600, 1000, 1001, 1280, 1921, 2560, 3840, 4096});
    // Columns about one bucket wide, and narrower ones that share each raw read.
    ExpectSameColumns(summary, {4306, 4307, 4308, 8191, 20000});

    // A zoomed view's ranges: starting and ending inside a bucket, on a bucket's edge, on the frames
    // that carry the marks above, up to the last frame; wide and narrow columns alike.
    const int64_t n = int64_t(frames);
    const int64_t b = PeakSummary::kBucketFrames;
    const std::pair<int64_t, int64_t> ranges[] = {
        {1, n - 1}, {b * 900, b * 1900}, {b * 900 + 1, b * 1900 - 1}, {int64_t(opening), int64_t(opening) + 600001},
        {299999, 300101}, {262143, 262145 + b * 3}, {n - 500000, n}, {n - 3001, n}, {400000, 400000 + 1921 * 256},
    };
    for (const auto& [first, end] : ranges)
        ExpectSameColumns(summary, {1, 7, 600, 1921, 1920}, first, end);
    // Out of the sound, clamped as the one-pass peaks clamp it; nothing left, nothing drawn.
    ExpectSameColumns(summary, {600}, -5, n + 5);
    Peaks clamped;
    EXPECT_EQ(summary.ComputeColumns(buffer_.channels, n, n + 5, 600, clamped), 0);
    EXPECT_TRUE(clamped[0].empty() && clamped[1].empty());

    // Cuts of lengths that are no multiple of a bucket, at a bucket's edge, inside one and at both
    // ends, and a piece of the sound put back elsewhere: the summary answers from the stores' own
    // buckets, with no new pass.
    const struct { int64_t start, end; } cuts[] = {{256 * 100, 256 * 100 + 1}, {5, 300}, {400001, 777777}, {0, 3}};
    ChannelStore cut[2];
    for (int c = 0; c < 2; ++c) {
        cut[c].CopyFrom(buffer_.channels.Channel(c));
        for (const auto& range : cuts)
            ASSERT_EQ(cut[c].Splice(range.start, range.end, ChannelStore()), 1);
        ChannelStore again;
        again.Slice(buffer_.channels.Channel(c), 1000, 2000 + 255 * 37);
        ASSERT_EQ(cut[c].Splice(cut[c].StoredLength() - 10, cut[c].StoredLength() - 10, again), 1);
    }
    ASSERT_EQ(buffer_.channels.Adopt(2, 44100, cut), 1);
    ASSERT_TRUE(summary.IsBuiltFor(buffer_.channels));
    ASSERT_EQ(summary.Build(buffer_.channels), 1);
    EXPECT_EQ(summary.BucketCount(), 2 * ((frames + 255) / 256));
    ExpectSameColumns(summary, {1, 3, 599, 1000, 1921, 4307, 20000});
    const int64_t cutLength = buffer_.channels.FrameCount();
    ExpectSameColumns(summary, {1, 600, 1921}, 24000, 27000);
    ExpectSameColumns(summary, {7, 1920}, cutLength - 400000, cutLength - 3);
}

}  // namespace
}  // namespace brindle

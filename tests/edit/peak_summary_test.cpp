// The waveform's column peaks against the per-sample rule, and the bucket summary against the column
// peaks at every width: a single differing column would show as a different picture.
#include "edit/peak_summary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "storage/sound_buffer.h"
#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

using Peaks = std::array<std::vector<PeakColumn>, 2>;

::testing::AssertionResult SamePeaks(const Peaks& actual, const Peaks& expected)
{
    for (size_t c = 0; c < 2; ++c) {
        if (actual[c].size() != expected[c].size())
            return ::testing::AssertionFailure() << actual[c].size() << " columns, expected " << expected[c].size();
        for (size_t i = 0; i < expected[c].size(); ++i) {
            if (actual[c][i].max != expected[c][i].max || actual[c][i].min != expected[c][i].min)
                return ::testing::AssertionFailure() << "column " << i << " channel " << c << ": " << actual[c][i].max
                                                     << "/" << actual[c][i].min << " instead of " << expected[c][i].max
                                                     << "/" << expected[c][i].min;
        }
    }
    return ::testing::AssertionSuccess();
}

class PeakSummaryTest : public test::TempDirTest {
protected:
    // Every width, summary against the one-pass peaks; over the whole sound, or frames [first, end)
    // when end is above 0.
    void ExpectSameColumns(const PeakSummary& summary, std::initializer_list<uint32_t> widths, int64_t first = 0,
                           int64_t end = 0)
    {
        for (uint32_t width : widths) {
            SCOPED_TRACE(testing::Message() << "width " << width << " frames " << first << ".." << end);
            Peaks expected, derived;
            if (end > 0) {
                ASSERT_EQ(ComputeColumnPeaks(buffer_.channels, first, end, width, expected), 1);
                ASSERT_EQ(summary.ComputeColumns(buffer_.channels, first, end, width, derived), 1);
            } else {
                ComputeColumnPeaks(buffer_.channels, 0, buffer_.channels.FrameCount(), width, expected);
                ASSERT_EQ(summary.ComputeColumns(buffer_.channels, width, derived), 1);
            }
            ASSERT_TRUE(SamePeaks(derived, expected));
        }
    }
    SoundBuffer buffer_;
};

TEST_F(PeakSummaryTest, ColumnsFollowThePerSampleRuleAndTheSummaryMatchesThemAtEveryWidth)
{
    // 25 s of stereo pink noise as sox writes raw floats: they cross the store's block boundaries, and
    // are long enough for the second channel to be read on a thread of its own.
    const auto raw = PathOf("sound.f32");
    ASSERT_EQ(test::RunCommand("sox -n -r 44100 -c 2 -t f32 " + test::Quoted(raw) + " synth 25 pinknoise vol 0.8"), 0);
    const auto bytes = test::ReadFileBytes(raw);
    const size_t frames = bytes.size() / 8;
    ASSERT_EQ(frames, 1102500u) << "not a whole number of buckets";
    std::vector<float> samples[2] = {std::vector<float>(frames), std::vector<float>(frames)};
    for (size_t i = 0; i < 2 * frames; ++i)
        std::memcpy(&samples[i % 2][i / 2], &bytes[i * 4], 4);
    // What the peaks treat specially, each where a raw edge or a whole bucket must carry it: full
    // scale on the frame that opens a column at 1000 columns (never folded in), and on the frame after
    // it (folded in), inside a bucket and on a bucket's first frame; damaged samples and clipping.
    const size_t opening = (5 * frames + 999) / 1000;
    samples[0][opening] = 1.0f;
    samples[1][opening] = -1.0f;
    samples[0][(17 * frames + 999) / 1000 + 1] = 1.0f;
    samples[1][PeakSummary::kBucketFrames * 900] = -1.0f;
    samples[0][opening + 7] = std::numeric_limits<float>::quiet_NaN();
    samples[1][300100] = std::numeric_limits<float>::infinity();
    samples[0][400000] = -1.5f;
    samples[1][262144] = 0.999f;
    ASSERT_EQ(buffer_.channels.Allocate(2, uint32_t(frames), 44100), 1);
    for (int c = 0; c < 2; ++c)
        test::FillStore(buffer_.channels.Channel(c), samples[c]);

    const int64_t n = int64_t(frames);
    const struct {
        int64_t first, end;
        uint32_t columns;
    } cases[] = {{0, n, 1000}, {0, n, 1}, {0, n, 1921}, {300000, 300777, 3}, {262000, 430000, 640},
                 {1000, 1500, 1000}};  // fewer frames than columns: those no frame falls into are left out
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << k.first << ".." << k.end << " in " << k.columns);
        Peaks peaks;
        ASSERT_EQ(ComputeColumnPeaks(buffer_.channels, k.first, k.end, k.columns, peaks), 1);
        EXPECT_TRUE(SamePeaks(peaks, test::ReferenceColumnPeaks([&](int c, int64_t g) { return samples[c][size_t(g)]; },
                                                                2, k.first, k.end, k.columns)));
        if (k.columns == 1000 && k.end == n) {
            EXPECT_LT(peaks[0][5].max, 1.0f) << "the opening frame is not folded in";
            EXPECT_EQ(peaks[1][size_t(300100 * 1000 / frames)].max, 1.0f) << "infinity is limited to full scale";
        }
        EXPECT_EQ(peaks[0].size(), std::min<size_t>(k.columns, size_t(k.end - k.first)));
    }

    PeakSummary summary;
    ASSERT_EQ(summary.Build(buffer_.channels), 1);
    EXPECT_EQ(summary.BucketCount(), 2 * ((frames + 255) / 256)) << "one store a channel";
    // Columns about one bucket wide, and narrower ones that share each raw read.
    ExpectSameColumns(summary, {1, 2, 3, 7, 255, 256, 257, 599, 600, 1000, 1001, 1280, 1921, 2560, 3840, 4096, 4306,
                                4307, 4308, 8191, 20000});
    // A zoomed view's ranges: ends inside a bucket, on its edge, on the frames that carry the marks
    // above, up to the last frame; out of the sound, clamped as the one-pass peaks clamp it.
    const int64_t b = PeakSummary::kBucketFrames;
    const std::pair<int64_t, int64_t> ranges[] = {
        {1, n - 1}, {b * 900, b * 1900}, {b * 900 + 1, b * 1900 - 1}, {int64_t(opening), int64_t(opening) + 600001},
        {299999, 300101}, {262143, 262145 + b * 3}, {n - 500000, n}, {n - 3001, n}, {400000, 400000 + 1921 * 256},
    };
    for (const auto& [first, end] : ranges)
        ExpectSameColumns(summary, {1, 7, 600, 1921, 1920}, first, end);
    ExpectSameColumns(summary, {600}, -5, n + 5);
    Peaks clamped;
    EXPECT_EQ(summary.ComputeColumns(buffer_.channels, n, n + 5, 600, clamped), 0);
    EXPECT_TRUE(clamped[0].empty() && clamped[1].empty());

    // Cuts of lengths that are no multiple of a bucket, at a bucket's edge, inside one and at both
    // ends, and a piece put back elsewhere: the summary answers from the stores' own buckets.
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

TEST_F(PeakSummaryTest, MonoFillsOneSideAndCancelStopsEarly)
{
    ASSERT_EQ(buffer_.channels.Allocate(1, 3 * kBlockSamples, 8000), 1);
    test::FillStore(buffer_.channels.Channel(0), std::vector<float>(3 * kBlockSamples, 0.25f));
    Peaks peaks;
    ASSERT_EQ(ComputeColumnPeaks(buffer_.channels, 0, 3 * kBlockSamples, 10, peaks), 1);
    EXPECT_EQ(peaks[0].size(), 10u);
    EXPECT_TRUE(peaks[1].empty());
    EXPECT_EQ(peaks[0][3].max, 0.25f);
    EXPECT_EQ(peaks[0][3].min, 0.0f);

    test::CancelAtStep progress(2);
    EXPECT_EQ(ComputeColumnPeaks(buffer_.channels, 0, 3 * kBlockSamples, 10, peaks, &progress), 0);
    EXPECT_LT(peaks[0].size(), 10u);
    EXPECT_EQ(ComputeColumnPeaks(buffer_.channels, 0, 0, 10, peaks), 0) << "an empty range";
}

}  // namespace
}  // namespace brindle

// Column peaks against the per-sample rule, on noise made by sox.
#include "edit/column_peaks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "storage/sound_buffer.h"
#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

using Peaks = std::array<std::vector<PeakColumn>, 2>;

Peaks Reference(const std::vector<float> (&channel)[2], int channels, int64_t first, int64_t end, uint32_t w)
{
    return test::ReferenceColumnPeaks([&](int c, int64_t g) { return channel[c][size_t(g)]; }, channels, first, end, w);
}

class ColumnPeaksTest : public test::TempDirTest {
protected:
    // Ten seconds of stereo pink noise from sox's raw float output, so ranges cross block boundaries.
    void MakeNoise()
    {
        const auto raw = PathOf("noise.f32");
        ASSERT_EQ(test::RunCommand("sox -n -r 44100 -c 2 -t f32 '" + raw.string() + "' synth 10 pinknoise vol 0.8"),
                  0);
        const auto bytes = test::ReadFileBytes(raw);
        const size_t frames = bytes.size() / 8;
        for (size_t f = 0; f < frames; ++f) {
            for (int c = 0; c < 2; ++c)
                std::memcpy(&samples_[c].emplace_back(), &bytes[(f * 2 + size_t(c)) * 4], 4);
        }
        ASSERT_EQ(buffer_.channels.Allocate(2, uint32_t(frames), 44100), 1);
    }
    void Store()
    {
        for (int c = 0; c < 2; ++c)
            test::FillStore(buffer_.channels.Channel(c), samples_[c]);
    }

    std::vector<float> samples_[2];
    SoundBuffer buffer_;
};

TEST_F(ColumnPeaksTest, FollowsThePerSampleRuleExactly)
{
    MakeNoise();
    // Values the rule treats specially: a full-scale peak on the frame that opens column 5 of the
    // whole sound at 1000 columns (not folded in), damaged samples, and clipping beyond full scale.
    const size_t frames = samples_[0].size();
    const size_t opening = (5 * frames + 999) / 1000;
    samples_[0][opening] = 1.0f;
    samples_[1][opening] = -1.0f;
    samples_[0][opening + 7] = std::numeric_limits<float>::quiet_NaN();
    samples_[1][300100] = std::numeric_limits<float>::infinity();
    samples_[0][400000] = -1.5f;
    Store();

    struct Case {
        int64_t first, end;
        uint32_t columns;
    };
    const Case cases[] = {
        {0, int64_t(frames), 1000}, {0, int64_t(frames), 1}, {0, int64_t(frames), 1921},
        {300000, 300777, 3},        {262000, 430000, 640},   {1000, 1500, 1000},  // fewer frames than columns
    };
    for (const Case& k : cases) {
        Peaks peaks;
        ASSERT_EQ(ComputeColumnPeaks(buffer_.channels, k.first, k.end, k.columns, peaks), 1);
        const Peaks expected = Reference(samples_, 2, k.first, k.end, k.columns);
        for (int c = 0; c < 2; ++c) {
            ASSERT_EQ(peaks[size_t(c)].size(), expected[size_t(c)].size()) << k.first << ".." << k.end;
            for (size_t i = 0; i < peaks[size_t(c)].size(); ++i) {
                ASSERT_EQ(peaks[size_t(c)][i].max, expected[size_t(c)][i].max) << "column " << i << " channel " << c;
                ASSERT_EQ(peaks[size_t(c)][i].min, expected[size_t(c)][i].min) << "column " << i << " channel " << c;
            }
        }
        if (k.columns == 1000 && k.end - k.first == int64_t(frames)) {
            EXPECT_LT(peaks[0][5].max, 1.0f) << "the opening frame is not folded in";
            EXPECT_EQ(peaks[1][size_t(300100 * 1000 / frames)].max, 1.0f) << "infinity is limited to full scale";
        }
        if (k.columns == 1000 && k.end - k.first == 500) {
            EXPECT_EQ(peaks[0].size(), 500u) << "columns no frame falls into are not appended";
        }
    }
}

TEST_F(ColumnPeaksTest, MonoFillsOneSideAndCancelStopsEarly)
{
    samples_[0].assign(3 * kBlockSamples, 0.25f);
    ASSERT_EQ(buffer_.channels.Allocate(1, uint32_t(samples_[0].size()), 8000), 1);
    test::FillStore(buffer_.channels.Channel(0), samples_[0]);
    Peaks peaks;
    ASSERT_EQ(ComputeColumnPeaks(buffer_.channels, 0, int64_t(samples_[0].size()), 10, peaks), 1);
    EXPECT_EQ(peaks[0].size(), 10u);
    EXPECT_TRUE(peaks[1].empty());
    EXPECT_EQ(peaks[0][3].max, 0.25f);
    EXPECT_EQ(peaks[0][3].min, 0.0f);

    struct CancelAtHalf final : Progress {
        CancelAtHalf() : Progress(100) {}
        void OnPositionChanged() override
        {
            if (Position() >= 50)
                Cancel();
        }
    } progress;
    EXPECT_EQ(ComputeColumnPeaks(buffer_.channels, 0, int64_t(samples_[0].size()), 10, peaks, &progress), 0);
    EXPECT_LT(peaks[0].size(), 10u);
    EXPECT_EQ(ComputeColumnPeaks(buffer_.channels, 0, 0, 10, peaks), 0) << "an empty range";
}

}  // namespace
}  // namespace brindle

// The volume, fade and channel edits on SoundBuffer and the per-channel kernels underneath.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "edit/edit_kernels.h"
#include "edit/sound_edits.h"
#include "storage/sound_buffer.h"
#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

using test::FillStore;
using test::ReadStore;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The percentage arithmetic of the volume command, with its single-precision 0.01.
float Percent(int32_t percent, float x)
{
    const double y = double(percent) * double(x) * double(0.01f);
    return y < -1.0 ? -1.0f : y > 1.0 ? 1.0f : float(y);
}

// Bit-for-bit equality, so that -0.0 differs from 0.0 and NaN equals NaN.
bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

::testing::AssertionResult SameSamples(const std::vector<float>& actual, const std::vector<float>& expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "length " << actual.size() << ", expected " << expected.size();
    for (size_t i = 0; i < actual.size(); ++i) {
        if (!SameBits(actual[i], expected[i]))
            return ::testing::AssertionFailure()
                   << "sample " << i << " is " << actual[i] << (std::signbit(actual[i]) ? " (negative)" : "")
                   << ", expected " << expected[i] << (std::signbit(expected[i]) ? " (negative)" : "");
    }
    return ::testing::AssertionSuccess();
}

class EditKernels : public test::TempDirTest {
protected:
    // A 16-bit sound at 44.1 kHz holding exactly these samples (right empty: mono).
    static void Make(SoundBuffer& buffer, const std::vector<float>& left, const std::vector<float>& right = {})
    {
        const bool stereo = !right.empty();
        ASSERT_EQ(buffer.CreateSilent(stereo, uint32_t(left.size()), 44100), 1);
        FillStore(buffer.channels.Channel(0), left);
        if (stereo) {
            ASSERT_EQ(right.size(), left.size());
            FillStore(buffer.channels.Channel(1), right);
        }
    }
    static std::vector<float> Left(SoundBuffer& buffer) { return ReadStore(buffer.channels.Channel(0)); }
    static std::vector<float> Right(SoundBuffer& buffer) { return ReadStore(buffer.channels.Channel(1)); }
};

// --- Change volume -------------------------------------------------------------------------------

TEST_F(EditKernels, ChangeVolumeZeroSilencesKeepingTheSign)
{
    SoundBuffer buffer;
    Make(buffer, {0.3f, -0.1f, 1.0f, -1.0f, 0.0f, -0.7f});
    ASSERT_EQ(ChangeVolume(buffer, -1, -1, 0), 1);
    EXPECT_TRUE(SameSamples(Left(buffer), {0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f}));
}

TEST_F(EditKernels, ChangeVolumeFiveHundredClampsToFullScale)
{
    SoundBuffer buffer;
    const std::vector<float> left{0.3f, -0.1f, 0.19f, -0.25f, 0.21f, -0.5f};
    const std::vector<float> right{-0.3f, 0.1f, 0.0f, 0.5f, 1.0f, -0.01f};
    Make(buffer, left, right);
    ASSERT_EQ(ChangeVolume(buffer, -1, -1, 500), 1);
    EXPECT_TRUE(SameSamples(Left(buffer), {1.0f, -0.5f, Percent(500, 0.19f), -1.0f, 1.0f, -1.0f}));
    EXPECT_TRUE(SameSamples(Right(buffer), {-1.0f, 0.5f, 0.0f, 1.0f, 1.0f, Percent(500, -0.01f)}));
    EXPECT_EQ(Left(buffer)[1], -0.5f) << "500 % of -0.1 is -0.5 to the nearest float";
    EXPECT_NEAR(Right(buffer)[5], -0.05f, 1e-8);
}

TEST_F(EditKernels, ChangeVolumeHundredTouchesNothing)
{
    SoundBuffer buffer;
    // A NaN survives only if the samples were never rewritten.
    Make(buffer, {0.3f, kNaN, 2.0f}, {-0.3f, 0.1f, kInf});
    ASSERT_EQ(ChangeVolume(buffer, -1, -1, 100), 1);
    EXPECT_TRUE(SameSamples(Left(buffer), {0.3f, kNaN, 2.0f}));
    EXPECT_TRUE(SameSamples(Right(buffer), {-0.3f, 0.1f, kInf}));
    EXPECT_EQ(ScaleRange(buffer.channels.Channel(0), 0, 3, 100), 1);
    EXPECT_TRUE(SameSamples(Left(buffer), {0.3f, kNaN, 2.0f}));
}

TEST_F(EditKernels, ChangeVolumeRangeRules)
{
    const std::vector<float> ones(10, 0.5f);
    auto halved = [&](int64_t from, int64_t to) {
        std::vector<float> v = ones;
        for (int64_t i = from; i < to; ++i)
            v[size_t(i)] = Percent(50, 0.5f);
        return v;
    };
    struct Case {
        int64_t start, end, from, to;
    };
    for (const Case c : {Case{2, 5, 2, 5}, Case{-1, -1, 0, 10}, Case{4, 4, 0, 10}, Case{-7, 3, 0, 3},
                         Case{8, 1000, 8, 10}, Case{0, 10, 0, 10}, Case{20, 30, 0, 10}, Case{9, 10, 9, 10}}) {
        SCOPED_TRACE(testing::Message() << "range " << c.start << ".." << c.end);
        SoundBuffer buffer;
        Make(buffer, ones, ones);
        ASSERT_EQ(ChangeVolume(buffer, c.start, c.end, 50), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), halved(c.from, c.to)));
        EXPECT_TRUE(SameSamples(Right(buffer), halved(c.from, c.to)));
    }
}

TEST_F(EditKernels, ChangeVolumeAcrossBlocksMatchesTheFormulaEverywhere)
{
    const uint32_t n = kBlockSamples * 2 + 17;
    std::vector<float> left(n), right(n);
    for (uint32_t i = 0; i < n; ++i) {
        left[i] = float(std::sin(i * 0.001)) * 0.9f;
        right[i] = -left[i] * 0.5f;
    }
    SoundBuffer buffer;
    Make(buffer, left, right);
    const int64_t start = kBlockSamples - 5, end = 2 * int64_t(kBlockSamples) + 3;
    ASSERT_EQ(ChangeVolume(buffer, start, end, 137), 1);
    std::vector<float> expectedLeft = left, expectedRight = right;
    for (int64_t i = start; i < end; ++i) {
        expectedLeft[size_t(i)] = Percent(137, left[size_t(i)]);
        expectedRight[size_t(i)] = Percent(137, right[size_t(i)]);
    }
    EXPECT_TRUE(SameSamples(Left(buffer), expectedLeft));
    EXPECT_TRUE(SameSamples(Right(buffer), expectedRight));
}

// --- Increase volume -----------------------------------------------------------------------------

TEST_F(EditKernels, GainIsHundredOverThePeakTruncated)
{
    EXPECT_EQ(GainForPeak(0.5), 200);
    EXPECT_EQ(GainForPeak(double(0.3f)), 333);
    EXPECT_EQ(GainForPeak(double(0.25f)), 400);
    EXPECT_EQ(GainForPeak(1.0), 100);
    EXPECT_EQ(GainForPeak(double(std::nextafter(1.0f, 0.0f))), 100);
    EXPECT_EQ(GainForPeak(double(0.995f)), 100) << "peaks above 100/101 keep 100 %";
    EXPECT_EQ(GainForPeak(double(0.99f)), 101);
    EXPECT_EQ(GainForPeak(0.0), 100) << "silence";
    EXPECT_EQ(GainForPeak(2.0), 50) << "only a damaged file can hold a sample past full scale";
}

TEST_F(EditKernels, GainForATinyPeakIsBoundedNeverWrapped)
{
    const int32_t most = std::numeric_limits<int32_t>::max();
    EXPECT_EQ(GainForPeak(100.0 / 2147483648.0 * 1.5), int32_t(2147483648.0 / 1.5));
    EXPECT_EQ(GainForPeak(100.0 / 2147483648.0), most);
    EXPECT_EQ(GainForPeak(1e-12), most);
    EXPECT_EQ(GainForPeak(double(std::numeric_limits<float>::denorm_min())), most);
    // Every power of two down to the smallest float: the gain never drops as the peak shrinks.
    int32_t previous = 0;
    for (int e = 0; e <= 149; ++e) {
        const int32_t gain = GainForPeak(std::ldexp(1.0, -e));
        ASSERT_GE(gain, 100) << "2^-" << e;
        ASSERT_GE(gain, previous) << "2^-" << e;
        previous = gain;
    }
}

TEST_F(EditKernels, IncreaseVolumeBringsThePeakToFullScale)
{
    SoundBuffer half;
    Make(half, {0.1f, -0.5f, 0.25f, 0.0f});
    ASSERT_EQ(IncreaseVolume(half, -1, -1), 1);
    EXPECT_TRUE(SameSamples(Left(half), {Percent(200, 0.1f), -1.0f, 0.5f, 0.0f}));

    SoundBuffer third;
    Make(third, {0.3f, -0.2f, 0.1f});
    ASSERT_EQ(IncreaseVolume(third, -1, -1), 1);
    const std::vector<float> raised = Left(third);
    EXPECT_TRUE(SameSamples(raised, {Percent(333, 0.3f), Percent(333, -0.2f), Percent(333, 0.1f)}));
    EXPECT_NEAR(raised[0], 0.999f, 1e-6f);
}

TEST_F(EditKernels, IncreaseVolumeLeavesFullScaleNearFullScaleAndSilenceAlone)
{
    for (const float peak : {1.0f, -1.0f, std::nextafter(1.0f, 0.0f), 0.995f, 0.0f}) {
        SCOPED_TRACE(peak);
        SoundBuffer buffer;
        const std::vector<float> samples{0.0f, peak * 0.3f, peak, -peak * 0.7f, kNaN};
        Make(buffer, samples);
        ASSERT_EQ(IncreaseVolume(buffer, -1, -1), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), samples)) << "a gain of 100 rewrites nothing";
    }
}

TEST_F(EditKernels, IncreaseVolumeGivesEachChannelItsOwnGain)
{
    SoundBuffer buffer;
    Make(buffer, {0.5f, -0.25f, 0.125f, 0.0f}, {0.25f, 0.125f, -0.0625f, -0.25f});
    ASSERT_EQ(IncreaseVolume(buffer, -1, -1), 1);
    EXPECT_TRUE(SameSamples(Left(buffer), {Percent(200, 0.5f), Percent(200, -0.25f), Percent(200, 0.125f), 0.0f}));
    EXPECT_TRUE(SameSamples(Right(buffer), {Percent(400, 0.25f), Percent(400, 0.125f), Percent(400, -0.0625f),
                                            Percent(400, -0.25f)}));
    EXPECT_EQ(Left(buffer)[0], 1.0f);
    EXPECT_EQ(Right(buffer)[3], -1.0f);
}

TEST_F(EditKernels, IncreaseVolumeFindsThePeakInsideTheSelectionOnly)
{
    SoundBuffer buffer;
    // The loud sample at 0 lies outside the selection and must neither limit the gain nor change.
    Make(buffer, {0.9f, 0.2f, -0.1f, 0.05f, 0.8f});
    ASSERT_EQ(IncreaseVolume(buffer, 1, 4), 1);
    // 0.2f is a little above 0.2, so 100 / peak is just under 500 and truncates to 499.
    ASSERT_EQ(GainForPeak(double(0.2f)), 499);
    EXPECT_TRUE(SameSamples(Left(buffer), {0.9f, Percent(499, 0.2f), Percent(499, -0.1f), Percent(499, 0.05f), 0.8f}));
}

TEST_F(EditKernels, IncreaseVolumeOnATinyPeakUsesTheBoundedGain)
{
    SoundBuffer buffer;
    const float tiny = 1e-12f;
    Make(buffer, {tiny, -tiny, tiny * 0.5f}, {1e-30f, -1e-30f, 0.0f});
    ASSERT_EQ(IncreaseVolume(buffer, -1, -1), 1);
    const int32_t most = std::numeric_limits<int32_t>::max();
    const std::vector<float> left = Left(buffer), right = Right(buffer);
    EXPECT_TRUE(SameSamples(left, {Percent(most, tiny), Percent(most, -tiny), Percent(most, tiny * 0.5f)}));
    EXPECT_GT(left[0], 0.0f) << "a wrapped, negative gain would invert the sound";
    EXPECT_LT(left[0], 1.0f);
    EXPECT_LT(left[1], 0.0f);
    EXPECT_GT(right[0], 0.0f);
    EXPECT_LT(right[1], 0.0f);
}

// --- Fades ---------------------------------------------------------------------------------------

TEST_F(EditKernels, FadesOfOneTwoAndThreeSamples)
{
    const std::vector<float> samples{0.8f, -0.6f, 0.4f, -0.2f};
    {
        SoundBuffer buffer;
        Make(buffer, samples);
        ASSERT_EQ(FadeIn(buffer, 1, 2), 1);
        ASSERT_EQ(FadeOut(buffer, 2, 3), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), samples)) << "a one-sample range changes nothing";
    }
    {
        SoundBuffer buffer;
        Make(buffer, samples);
        ASSERT_EQ(FadeIn(buffer, 1, 3), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), {0.8f, -0.0f, 0.4f, -0.2f}));
    }
    {
        SoundBuffer buffer;
        Make(buffer, samples);
        ASSERT_EQ(FadeOut(buffer, 2, 4), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), {0.8f, -0.6f, 0.4f, -0.0f}));
    }
    {
        SoundBuffer buffer;
        Make(buffer, {0.8f, -0.6f, 0.4f});
        ASSERT_EQ(FadeIn(buffer, -1, -1), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), {0.0f, -0.3f, 0.4f})) << "gains 0, 0.5, 1";
    }
    {
        SoundBuffer buffer;
        Make(buffer, {0.8f, -0.6f, 0.4f}, {0.2f, 0.2f, 0.2f});
        ASSERT_EQ(FadeOut(buffer, 1, 1), 1) << "start = end is the whole sound";
        EXPECT_TRUE(SameSamples(Left(buffer), {0.8f, -0.3f, 0.0f}));
        EXPECT_TRUE(SameSamples(Right(buffer), {0.2f, 0.1f, 0.0f})) << "both channels get the same ramp";
    }
    {
        SoundBuffer buffer;
        Make(buffer, {0.8f});
        ASSERT_EQ(FadeIn(buffer, -1, -1), 1);
        ASSERT_EQ(FadeOut(buffer, -1, -1), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), {0.8f})) << "a whole channel of one sample";
    }
}

TEST_F(EditKernels, FadeAcrossABlockBoundaryHasNoJump)
{
    const uint32_t n = kBlockSamples + 1000;
    const std::vector<float> flat(n, 0.75f);
    const int64_t start = kBlockSamples - 300, end = kBlockSamples + 301;
    const double last = double(end - start - 1);
    for (const bool fadeIn : {true, false}) {
        SCOPED_TRACE(fadeIn ? "fade in" : "fade out");
        SoundBuffer buffer;
        Make(buffer, flat, flat);
        ASSERT_EQ(fadeIn ? FadeIn(buffer, start, end) : FadeOut(buffer, start, end), 1);
        for (const std::vector<float>& got : {Left(buffer), Right(buffer)}) {
            ASSERT_EQ(got.size(), n);
            for (int64_t i = 0; i < int64_t(n); ++i) {
                float expected = 0.75f;
                if (i >= start && i < end) {
                    const double k = double(i - start);
                    expected = float(fadeIn ? k * 0.75 / last : (1.0 - k / last) * 0.75);
                }
                ASSERT_TRUE(SameBits(got[size_t(i)], expected)) << "sample " << i;
            }
            // Equal steps on both sides of the boundary: the ramp continues, it does not restart.
            const double step = 0.75 / last;
            for (int64_t i = start + 1; i < end; ++i) {
                const double delta = double(got[size_t(i)]) - double(got[size_t(i - 1)]);
                ASSERT_NEAR(std::fabs(delta), step, 1e-7) << "step into sample " << i;
            }
            EXPECT_EQ(got[size_t(fadeIn ? start : end - 1)], 0.0f);
            EXPECT_EQ(got[size_t(fadeIn ? end - 1 : start)], 0.75f);
        }
    }
}

// --- Mono and stereo -----------------------------------------------------------------------------

TEST_F(EditKernels, ToMonoSumsRatherThanAverages)
{
    SoundBuffer buffer;
    Make(buffer, {0.25f, -0.25f, 0.5f, 0.0f}, {0.25f, -0.5f, 0.125f, -0.75f});
    ASSERT_EQ(ToMono(buffer), 1);
    EXPECT_TRUE(SameSamples(Left(buffer), {0.5f, -0.75f, 0.625f, -0.75f}));
}

TEST_F(EditKernels, ToMonoScalesAClippingSumSoThePeakIsExactlyFullScale)
{
    const std::vector<float> left{0.8f, 0.5f, -0.3f, 0.1f, -0.9f};
    const std::vector<float> right{0.8f, 0.2f, -0.4f, 0.0f, 0.3f};
    for (const float sign : {1.0f, -1.0f}) {
        SCOPED_TRACE(sign);
        std::vector<float> l = left, r = right;
        for (size_t i = 0; i < l.size(); ++i)
            l[i] *= sign, r[i] *= sign;
        SoundBuffer buffer;
        Make(buffer, l, r);
        ASSERT_EQ(ToMono(buffer), 1);
        const std::vector<float> mono = Left(buffer);
        ASSERT_EQ(mono.size(), l.size());
        const float peak = std::fabs(l[0] + r[0]);  // 1.6 as a float
        EXPECT_EQ(mono[0], sign) << "the loudest sample lands exactly on full scale";
        for (size_t i = 0; i < mono.size(); ++i) {
            const float sum = l[i] + r[i];
            EXPECT_TRUE(SameBits(mono[i], float(1.0 / double(peak) * double(sum)))) << i;
            EXPECT_NEAR(double(mono[i]) / double(mono[0]), double(sum) / double(l[0] + r[0]), 1e-6) << i;
        }
    }
}

TEST_F(EditKernels, ToMonoOfOppositePhaseIsSilence)
{
    const uint32_t n = kBlockSamples + 10;
    std::vector<float> left(n), right(n);
    for (uint32_t i = 0; i < n; ++i) {
        left[i] = float(std::sin(i * 0.01)) * 0.99f;
        right[i] = -left[i];
    }
    SoundBuffer buffer;
    Make(buffer, left, right);
    ASSERT_EQ(ToMono(buffer), 1);
    const std::vector<float> mono = Left(buffer);
    ASSERT_EQ(mono.size(), n);
    for (uint32_t i = 0; i < n; ++i)
        ASSERT_EQ(mono[i], 0.0f) << i;
}

TEST_F(EditKernels, FormatRecordFollowsTheChannelCount)
{
    SoundBuffer buffer;
    Make(buffer, {0.1f, -0.2f, 0.3f}, {0.1f, 0.2f, -0.3f});
    ASSERT_EQ(ToMono(buffer), 1);
    EXPECT_EQ(buffer.format.channelCount, 1);
    EXPECT_EQ(buffer.format.blockAlign, 2);
    EXPECT_EQ(buffer.format.avgBytesPerSecond, 88200u);
    EXPECT_EQ(buffer.format.bitsPerSample, 16);
    EXPECT_EQ(buffer.FrameCount(), 3u);
    EXPECT_EQ(buffer.channels.FrameCount(), 3u);
    EXPECT_EQ(buffer.dataByteCount, 12u) << "left as the stereo sound had it";
    EXPECT_TRUE(buffer.IsMono());
    EXPECT_TRUE(buffer.HasSound());

    Progress progress(100);
    ASSERT_EQ(ToStereo(buffer, &progress), 1);
    EXPECT_EQ(progress.Position(), 100u);
    EXPECT_FALSE(progress.IsFailed());
    EXPECT_EQ(buffer.format.channelCount, 2);
    EXPECT_EQ(buffer.format.blockAlign, 4);
    EXPECT_EQ(buffer.format.avgBytesPerSecond, 176400u);
    EXPECT_EQ(buffer.FrameCount(), 3u);
    EXPECT_TRUE(buffer.IsStereo());
    EXPECT_TRUE(buffer.HasSound());

    // An 8-bit sound as the WAV reader leaves it: block align 1 per channel.
    SoundBuffer eight;
    Make(eight, {0.5f, -0.5f});
    eight.format.bitsPerSample = 8;
    eight.format.blockAlign = 1;
    eight.format.avgBytesPerSecond = 22050;
    eight.format.samplesPerSecond = 22050;
    ASSERT_EQ(ToStereo(eight), 1);
    EXPECT_EQ(eight.format.blockAlign, 2);
    EXPECT_EQ(eight.format.avgBytesPerSecond, 44100u);
    EXPECT_EQ(eight.format.bitsPerSample, 8);
    EXPECT_TRUE(eight.HasSound());
    ASSERT_EQ(ToMono(eight), 1);
    EXPECT_EQ(eight.format.blockAlign, 1);
    EXPECT_EQ(eight.format.avgBytesPerSecond, 22050u);
    EXPECT_TRUE(eight.HasSound());
}

TEST_F(EditKernels, ToStereoThenToMonoDoublesEverySample)
{
    const uint32_t n = kBlockSamples + 3;
    std::vector<float> mono(n);
    for (uint32_t i = 0; i < n; ++i)
        mono[i] = float(std::cos(i * 0.003)) * 0.45f;
    SoundBuffer buffer;
    Make(buffer, mono);
    ASSERT_EQ(ToStereo(buffer), 1);
    EXPECT_EQ(TempFiles().size(), 1u) << "the second channel shares the first's store";
    EXPECT_TRUE(SameSamples(Right(buffer), mono));
    ASSERT_EQ(ToMono(buffer), 1);
    EXPECT_EQ(TempFiles().size(), 1u);
    std::vector<float> doubled(n);
    for (uint32_t i = 0; i < n; ++i)
        doubled[i] = mono[i] * 2.0f;
    EXPECT_TRUE(SameSamples(Left(buffer), doubled));

    // Loud enough to clip when doubled: the sum is scaled back by its peak.
    SoundBuffer loud;
    Make(loud, {0.1f, 0.8f, -0.4f});
    ASSERT_EQ(ToStereo(loud), 1);
    ASSERT_EQ(ToMono(loud), 1);
    const double f = 1.0 / double(1.6f);
    EXPECT_TRUE(SameSamples(Left(loud), {float(f * double(0.2f)), 1.0f, float(f * double(-0.8f))}));
}

TEST_F(EditKernels, ChannelConversionsWithNothingToDo)
{
    SoundBuffer mono;
    Make(mono, {0.1f, 0.2f});
    ASSERT_EQ(ToMono(mono), 1);
    EXPECT_TRUE(mono.IsMono());
    EXPECT_EQ(mono.format.blockAlign, 2);
    EXPECT_TRUE(SameSamples(Left(mono), {0.1f, 0.2f}));

    SoundBuffer stereo;
    Make(stereo, {0.1f, 0.2f}, {0.3f, 0.4f});
    Progress progress(10);
    ASSERT_EQ(ToStereo(stereo, &progress), 1);
    EXPECT_EQ(progress.Position(), 10u);
    EXPECT_EQ(stereo.format.blockAlign, 4);
    EXPECT_EQ(stereo.format.avgBytesPerSecond, 176400u);
    EXPECT_TRUE(SameSamples(Right(stereo), {0.3f, 0.4f}));
    EXPECT_EQ(TempFiles().size(), 3u);

    SoundBuffer empty;
    EXPECT_EQ(ToMono(empty), 0);
    EXPECT_EQ(ToStereo(empty), 1);
    EXPECT_TRUE(empty.IsEmpty());
}

// --- Failures ------------------------------------------------------------------------------------

TEST_F(EditKernels, FailuresLeaveTheSoundAsItWas)
{
    const std::vector<float> left{0.1f, -0.2f, 0.3f, 0.4f}, right{0.5f, 0.6f, -0.7f, 0.8f};
    SoundBuffer buffer;
    Make(buffer, left, right);
    EXPECT_EQ(ChangeVolume(buffer, 3, 1, 50), 0) << "end before start";
    EXPECT_EQ(IncreaseVolume(buffer, 3, 1), 0);
    EXPECT_EQ(FadeIn(buffer, 3, 1), 0);
    EXPECT_EQ(FadeOut(buffer, 3, 1), 0);
    EXPECT_EQ(ChangeVolume(buffer, 100, -5, 50), 0) << "clamped, the end still lies before the start";
    EXPECT_TRUE(SameSamples(Left(buffer), left));
    EXPECT_TRUE(SameSamples(Right(buffer), right));

    SoundBuffer empty;
    EXPECT_EQ(ChangeVolume(empty, -1, -1, 50), 0);
    EXPECT_EQ(IncreaseVolume(empty, -1, -1), 0);
    EXPECT_EQ(FadeIn(empty, -1, -1), 0);
    EXPECT_EQ(FadeOut(empty, -1, -1), 0);
    EXPECT_EQ(ChangeVolume(empty, -1, -1, 100), 0) << "even with nothing to do, a sound is needed";
    EXPECT_TRUE(empty.IsEmpty());

    ChannelStore unready;
    EXPECT_EQ(ScaleRange(unready, 0, 0, 50), 0);
    EXPECT_EQ(IncreaseVolume(unready, 0, 0), 0);
    EXPECT_EQ(FadeIn(unready, 0, 0), 0);
    EXPECT_EQ(ScaleDownByPeak(unready, 2.0), 0);
    EXPECT_EQ(MixInto(buffer.channels.Channel(0), unready), 0);
    EXPECT_EQ(MixInto(buffer.channels.Channel(0), buffer.channels.Channel(0)), 0) << "a channel into itself";
}

TEST_F(EditKernels, MixRefusesChannelsOfDifferentLengths)
{
    ChannelStore a, b;
    ASSERT_EQ(a.Allocate(5), 1);
    ASSERT_EQ(b.Allocate(6), 1);
    FillStore(a, {0.1f, 0.1f, 0.1f, 0.1f, 0.1f});
    EXPECT_EQ(MixInto(a, b), 0);
    EXPECT_TRUE(SameSamples(ReadStore(a), {0.1f, 0.1f, 0.1f, 0.1f, 0.1f}));
}

TEST_F(EditKernels, AFullDiskFailsAnEditThatWritesAndLeavesTheSoundAsItWas)
{
    SoundBuffer buffer;
    const std::vector<float> samples(kBlockSamples * 2, 0.25f);
    Make(buffer, samples);
    {
        test::FileSizeLimit limit(1 << 20);  // the faded range needs 2 MiB
        {
            test::WrittenGains written;
            EXPECT_EQ(FadeIn(buffer, -1, -1), 0);
            EXPECT_EQ(ChangeVolume(buffer, 10, kBlockSamples * 2 - 10, 50), 0);
        }
        Progress progress(10);
        EXPECT_EQ(ToStereo(buffer, &progress), 1) << "a shared channel needs no disk";
    }
    EXPECT_TRUE(SameSamples(Left(buffer), samples));
    EXPECT_TRUE(SameSamples(Right(buffer), samples));
    EXPECT_EQ(TempFiles().size(), 1u) << "no half-made store left behind";
    {
        test::FileSizeLimit limit(1);
        EXPECT_EQ(FadeIn(buffer, -1, -1), 1) << "a gain the pieces carry writes nothing";
    }
    EXPECT_EQ(TempFiles().size(), 1u);
}

TEST_F(EditKernels, NoTemporaryFileOutlivesTheEdits)
{
    test::WrittenGains written;
    {
        SoundBuffer buffer;
        Make(buffer, {0.1f, 0.2f, 0.3f}, {0.3f, 0.2f, 0.1f});
        ASSERT_EQ(ChangeVolume(buffer, -1, -1, 75), 1);
        ASSERT_EQ(IncreaseVolume(buffer, 0, 2), 1);
        ASSERT_EQ(FadeIn(buffer, -1, -1), 1);
        ASSERT_EQ(FadeOut(buffer, 1, 3), 1);
        EXPECT_EQ(TempFiles().size(), 4u) << "a store is freed once no piece uses it";
        ASSERT_EQ(ToMono(buffer), 1);
        EXPECT_EQ(TempFiles().size(), 1u);
        ASSERT_EQ(ToStereo(buffer), 1);
        EXPECT_EQ(TempFiles().size(), 1u);
    }
    EXPECT_TRUE(TempFiles().empty());
}

// --- Damaged samples -----------------------------------------------------------------------------

TEST_F(EditKernels, NonFiniteSamplesDoNotSpoilTheChannel)
{
    const std::vector<float> damaged{0.25f, kNaN, kInf, -kInf, -0.5f};
    {
        SoundBuffer buffer;
        Make(buffer, damaged);
        EXPECT_EQ(PeakInRange(buffer.channels.Channel(0), -1, -1), 0.5);
        ASSERT_EQ(IncreaseVolume(buffer, -1, -1), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), {Percent(200, 0.25f), 0.0f, 1.0f, -1.0f, Percent(200, -0.5f)}))
            << "gain 200, not 0";
    }
    {
        SoundBuffer buffer;
        Make(buffer, damaged);
        ASSERT_EQ(ChangeVolume(buffer, -1, -1, 0), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), {0.0f, 0.0f, 0.0f, 0.0f, -0.0f}));
    }
    {
        SoundBuffer buffer;
        Make(buffer, damaged);
        ASSERT_EQ(ChangeVolume(buffer, -1, -1, 50), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), {Percent(50, 0.25f), 0.0f, 1.0f, -1.0f, Percent(50, -0.5f)}));
    }
    {
        SoundBuffer buffer;
        Make(buffer, {kInf, kNaN, kInf, -kInf, 0.8f});
        ASSERT_EQ(FadeIn(buffer, -1, -1), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), {0.0f, 0.0f, 1.0f, -1.0f, 0.8f}));
    }
    {
        // The sum 1.8 still sets the scale; the infinite sum is full scale before scaling.
        SoundBuffer buffer;
        Make(buffer, {kInf, 0.9f, kNaN, -0.2f}, {0.1f, 0.9f, 0.2f, 0.1f});
        ASSERT_EQ(ToMono(buffer), 1);
        const double f = 1.0 / double(0.9f + 0.9f);
        EXPECT_TRUE(SameSamples(Left(buffer), {float(f), 1.0f, 0.0f, float(f * double(-0.2f + 0.1f))}));
    }
    {
        SoundBuffer buffer;
        Make(buffer, {0.3f, 0.7f});
        EXPECT_EQ(ScaleDownByPeak(buffer.channels.Channel(0), std::numeric_limits<double>::infinity()), 0);
        EXPECT_EQ(ScaleDownByPeak(buffer.channels.Channel(0), std::numeric_limits<double>::quiet_NaN()), 0);
        EXPECT_EQ(ScaleDownByPeak(buffer.channels.Channel(0), 1.0), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), {0.3f, 0.7f}));
        EXPECT_EQ(ScaleDownByPeak(buffer.channels.Channel(0), 2.0), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), {0.15f, 0.35f}));
    }
}

}  // namespace
}  // namespace brindle

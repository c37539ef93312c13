// The volume, fade and channel edits on SoundBuffer and the kernels underneath: exact cases by hand,
// then every edit on sounds made by sox against an oracle computed here in plain double arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "edit/edit_kernels.h"
#include "edit/sound_edits.h"
#include "storage/sample_conversion.h"
#include "storage/sound_buffer.h"
#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

using Samples = std::vector<float>;
using test::FillStore;
using test::ReadStore;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr int32_t kMost = std::numeric_limits<int32_t>::max();

// What a kernel stores: the nearest float, clamped to full scale.
float Stored(double y) { return y > 1.0 ? 1.0f : y < -1.0 ? -1.0f : float(y); }
// The volume command's arithmetic, with its single-precision 0.01.
float Scaled(int32_t percent, float x) { return Stored(double(percent) * double(x) * double(0.01f)); }

struct Selection { int64_t start, end; };
Selection Resolved(size_t length, Selection s)
{
    s = {std::clamp<int64_t>(s.start, 0, int64_t(length)), std::clamp<int64_t>(s.end, 0, int64_t(length))};
    return s.start == s.end ? Selection{0, int64_t(length)} : s;
}

enum class Op { Volume, Increase, FadeIn, FadeOut, Mono, StereoThenMono };

int Apply(SoundBuffer& b, Op op, Selection s, int32_t percent)
{
    return op == Op::Volume     ? ChangeVolume(b, s.start, s.end, percent)
           : op == Op::Increase ? IncreaseVolume(b, s.start, s.end)
           : op == Op::FadeIn   ? FadeIn(b, s.start, s.end)
           : op == Op::FadeOut  ? FadeOut(b, s.start, s.end)
           : op == Op::Mono     ? ToMono(b)
                                : (ToStereo(b) == 1 ? ToMono(b) : 0);
}

// The oracle of the volume and fade edits on one channel.
Samples Expected(Op op, int32_t percent, Samples x, Selection selection)
{
    const Selection s = Resolved(x.size(), selection);
    if (op == Op::Increase) {
        double peak = 0.0;
        for (int64_t i = s.start; i < s.end; ++i)
            peak = std::max(peak, std::fabs(double(x[size_t(i)])));
        percent = peak > 0.0 ? int32_t(100.0 / peak) : 100;
        if (percent == 100)
            return x;
    }
    const double last = double(s.end - s.start - 1);
    for (int64_t i = s.start; i < s.end; ++i) {
        const double k = double(i - s.start), v = x[size_t(i)];
        x[size_t(i)] = op == Op::FadeIn ? Stored(k * v / last)
                       : op == Op::FadeOut ? Stored((1.0 - k / last) * v)
                                           : Scaled(percent, x[size_t(i)]);
    }
    return x;
}

// The sum of two channels, scaled by its peak when that passes full scale.
Samples ExpectedMono(const Samples& left, const Samples& right)
{
    Samples sum(left.size());
    double peak = 0.0;
    for (size_t i = 0; i < left.size(); ++i)
        peak = std::max(peak, std::fabs(double(sum[i] = left[i] + right[i])));
    if (peak > 1.0)
        std::transform(sum.begin(), sum.end(), sum.begin(), [&](float v) { return Stored(double(v) * (1.0 / peak)); });
    return sum;
}

// Bit-for-bit, so that -0.0 differs from 0.0 and NaN equals NaN.
::testing::AssertionResult SameSamples(const Samples& actual, const Samples& expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << "length " << actual.size() << ", expected " << expected.size();
    size_t wrong = 0, first = 0;
    for (size_t i = 0; i < actual.size(); ++i) {
        if (std::memcmp(&actual[i], &expected[i], sizeof(float)) != 0 && wrong++ == 0)
            first = i;
    }
    if (wrong == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << wrong << " samples differ, the first at " << first << ": " << actual[first]
                                         << (std::signbit(actual[first]) ? " (negative)" : "") << " instead of "
                                         << expected[first];
}

class EditKernels : public test::TempDirTest {
protected:
    // A 16-bit sound at 44.1 kHz holding exactly these samples (right empty: mono).
    static void Make(SoundBuffer& buffer, const Samples& left, const Samples& right = {})
    {
        ASSERT_EQ(buffer.CreateSilent(!right.empty(), uint32_t(left.size()), 44100), 1);
        FillStore(buffer.channels.Channel(0), left);
        if (!right.empty())
            FillStore(buffer.channels.Channel(1), right);
    }
    static Samples Left(SoundBuffer& buffer) { return ReadStore(buffer.channels.Channel(0)); }
    static Samples Right(SoundBuffer& buffer) { return ReadStore(buffer.channels.Channel(1)); }
};

TEST_F(EditKernels, EditsGiveExactlyTheseSamples)
{
    struct Row {
        const char* what;
        Op op;
        Selection selection;
        int32_t percent;
        Samples left, right, wantLeft, wantRight;  // right empty: mono; want empty: unchanged
    };
    const Samples four{0.8f, -0.6f, 0.4f, -0.2f}, three{0.8f, -0.6f, 0.4f};
    const Samples damaged{0.25f, kNaN, kInf, -kInf, -0.5f};
    const Samples clipLeft{0.8f, 0.5f, -0.3f, 0.1f, -0.9f}, clipRight{0.8f, 0.2f, -0.4f, 0.0f, 0.3f};
    auto negated = [](Samples v) { for (float& x : v) x = -x; return v; };
    const double f = 1.0 / double(0.9f + 0.9f);
    std::vector<Row> rows = {
        {"0 % keeps the sign", Op::Volume, {-1, -1}, 0, {0.3f, -0.1f, 1.0f, -1.0f, 0.0f, -0.7f}, {},
         {0.0f, -0.0f, 0.0f, -0.0f, 0.0f, -0.0f}, {}},
        {"500 % clamps", Op::Volume, {-1, -1}, 500, {0.3f, -0.1f, 0.19f, -0.25f, 0.21f, -0.5f},
         {-0.3f, 0.1f, 0.0f, 0.5f, 1.0f, -0.01f}, {1.0f, -0.5f, Scaled(500, 0.19f), -1.0f, 1.0f, -1.0f},
         {-1.0f, 0.5f, 0.0f, 1.0f, 1.0f, Scaled(500, -0.01f)}},
        // A NaN survives only where the samples were never rewritten.
        {"100 % rewrites nothing", Op::Volume, {-1, -1}, 100, {0.3f, kNaN, 2.0f}, {-0.3f, 0.1f, kInf}, {}, {}},
        {"raise a peak of 0.5", Op::Increase, {-1, -1}, 0, {0.1f, -0.5f, 0.25f, 0.0f}, {},
         {Scaled(200, 0.1f), -1.0f, 0.5f, 0.0f}, {}},
        {"raise a peak of 0.3", Op::Increase, {-1, -1}, 0, {0.3f, -0.2f, 0.1f}, {},
         {Scaled(333, 0.3f), Scaled(333, -0.2f), Scaled(333, 0.1f)}, {}},
        {"raise each channel by its own gain", Op::Increase, {-1, -1}, 0, {0.5f, -0.25f, 0.125f, 0.0f},
         {0.25f, 0.125f, -0.0625f, -0.25f}, {Scaled(200, 0.5f), Scaled(200, -0.25f), Scaled(200, 0.125f), 0.0f},
         {Scaled(400, 0.25f), Scaled(400, 0.125f), Scaled(400, -0.0625f), Scaled(400, -0.25f)}},
        // The loud samples outside the selection neither limit the gain nor change.
        {"raise the selection's peak only", Op::Increase, {1, 4}, 0, {0.9f, 0.2f, -0.1f, 0.05f, 0.8f}, {},
         {0.9f, Scaled(499, 0.2f), Scaled(499, -0.1f), Scaled(499, 0.05f), 0.8f}, {}},
        // A wrapped, negative gain would invert the sound.
        {"raise a tiny peak by the bounded gain", Op::Increase, {-1, -1}, 0, {1e-12f, -1e-12f, 0.5e-12f},
         {1e-30f, -1e-30f, 0.0f}, {Scaled(kMost, 1e-12f), Scaled(kMost, -1e-12f), Scaled(kMost, 0.5e-12f)},
         {Scaled(kMost, 1e-30f), Scaled(kMost, -1e-30f), 0.0f}},
        {"fade in over one sample", Op::FadeIn, {1, 2}, 0, four, {}, {}, {}},
        {"fade out over one sample", Op::FadeOut, {2, 3}, 0, four, {}, {}, {}},
        {"fade in over two", Op::FadeIn, {1, 3}, 0, four, {}, {0.8f, -0.0f, 0.4f, -0.2f}, {}},
        {"fade out over two", Op::FadeOut, {2, 4}, 0, four, {}, {0.8f, -0.6f, 0.4f, -0.0f}, {}},
        {"fade in, gains 0, 0.5, 1", Op::FadeIn, {-1, -1}, 0, three, {}, {0.0f, -0.3f, 0.4f}, {}},
        {"fade out, start = end is the whole sound", Op::FadeOut, {1, 1}, 0, three, {0.2f, 0.2f, 0.2f},
         {0.8f, -0.3f, 0.0f}, {0.2f, 0.1f, 0.0f}},
        {"fade in of one sample", Op::FadeIn, {-1, -1}, 0, {0.8f}, {}, {}, {}},
        {"fade out of one sample", Op::FadeOut, {-1, -1}, 0, {0.8f}, {}, {}, {}},
        {"mono sums rather than averages", Op::Mono, {}, 0, {0.25f, -0.25f, 0.5f, 0.0f, 0.3f},
         {0.25f, -0.5f, 0.125f, -0.75f, -0.3f}, {0.5f, -0.75f, 0.625f, -0.75f, 0.0f}, {}},
        {"mono scales a clipping sum to exactly full scale", Op::Mono, {}, 0, clipLeft, clipRight,
         ExpectedMono(clipLeft, clipRight), {}},
        {"the same, negative", Op::Mono, {}, 0, negated(clipLeft), negated(clipRight),
         ExpectedMono(negated(clipLeft), negated(clipRight)), {}},
        {"stereo then mono doubles, scaled when it clips", Op::StereoThenMono, {}, 0, {0.1f, 0.8f, -0.4f}, {},
         ExpectedMono({0.1f, 0.8f, -0.4f}, {0.1f, 0.8f, -0.4f}), {}},
        // Damaged samples: skipped by the peak search, NaN stored as 0, infinity clamped.
        {"raise damaged samples by 200, not 0", Op::Increase, {-1, -1}, 0, damaged, {},
         {Scaled(200, 0.25f), 0.0f, 1.0f, -1.0f, Scaled(200, -0.5f)}, {}},
        {"0 % of damaged samples", Op::Volume, {-1, -1}, 0, damaged, {}, {0.0f, 0.0f, 0.0f, 0.0f, -0.0f}, {}},
        {"50 % of damaged samples", Op::Volume, {-1, -1}, 50, damaged, {},
         {Scaled(50, 0.25f), 0.0f, 1.0f, -1.0f, Scaled(50, -0.5f)}, {}},
        {"fade in of damaged samples", Op::FadeIn, {-1, -1}, 0, {kInf, kNaN, kInf, -kInf, 0.8f}, {},
         {0.0f, 0.0f, 1.0f, -1.0f, 0.8f}, {}},
        // The sum 1.8 still sets the scale; the infinite sum is full scale before scaling.
        {"mono of damaged samples", Op::Mono, {}, 0, {kInf, 0.9f, kNaN, -0.2f}, {0.1f, 0.9f, 0.2f, 0.1f},
         {float(f), 1.0f, 0.0f, float(f * double(-0.2f + 0.1f))}, {}},
    };
    // A gain of 100 (full scale, just below it, silence) rewrites nothing.
    for (const float peak : {1.0f, -1.0f, std::nextafter(1.0f, 0.0f), 0.995f, 0.0f})
        rows.push_back({"raise what needs no raising", Op::Increase, {-1, -1}, 0, {0.0f, peak * 0.3f, peak, kNaN}, {}, {}, {}});
    // The range rules: clamped to the sound, start = end the whole of it.
    for (const auto& [start, end, from, to] : std::initializer_list<std::array<int64_t, 4>>{
             {2, 5, 2, 5}, {-1, -1, 0, 10}, {4, 4, 0, 10}, {-7, 3, 0, 3}, {8, 1000, 8, 10}, {0, 10, 0, 10},
             {20, 30, 0, 10}, {9, 10, 9, 10}}) {
        Samples halved(10, 0.5f);
        std::fill(halved.begin() + from, halved.begin() + to, Scaled(50, 0.5f));
        rows.push_back({"50 % of a range", Op::Volume, {start, end}, 50, Samples(10, 0.5f), Samples(10, 0.5f), halved, halved});
    }
    Samples wave(2 * kBlockSamples + 17), half(wave.size());
    for (size_t i = 0; i < wave.size(); ++i)
        half[i] = -0.5f * (wave[i] = float(std::sin(double(i) * 0.001)) * 0.9f);
    const Selection blocks{kBlockSamples - 5, 2 * int64_t(kBlockSamples) + 3};
    rows.push_back({"137 % across blocks", Op::Volume, blocks, 137, wave, half, Expected(Op::Volume, 137, wave, blocks),
                    Expected(Op::Volume, 137, half, blocks)});
    for (const bool written : {false, true}) {
        std::optional<test::WrittenGains> writing;
        if (written)
            writing.emplace();
        for (const Row& row : rows) {
            SCOPED_TRACE(testing::Message() << row.what << " " << row.selection.start << ".." << row.selection.end
                                            << (written ? ", gains written" : ""));
            SoundBuffer buffer;
            Make(buffer, row.left, row.right);
            ASSERT_EQ(Apply(buffer, row.op, row.selection, row.percent), 1);
            EXPECT_TRUE(SameSamples(Left(buffer), row.wantLeft.empty() ? row.left : row.wantLeft));
            const bool stereo = !row.right.empty() && row.op != Op::Mono && row.op != Op::StereoThenMono;
            ASSERT_EQ(std::tuple(int(buffer.format.channelCount), buffer.IsStereo(), buffer.IsMono()),
                      std::tuple(stereo ? 2 : 1, stereo, !stereo));
            if (stereo) {
                EXPECT_TRUE(SameSamples(Right(buffer), row.wantRight.empty() ? row.right : row.wantRight));
            }
        }
    }
}

TEST_F(EditKernels, GainIsHundredOverThePeakTruncatedAndNeverWraps)
{
    const struct {
        double peak;
        int32_t gain;
    } rows[] = {
        {0.5, 200}, {double(0.3f), 333}, {double(0.25f), 400}, {double(0.2f), 499}, {1.0, 100},
        {double(std::nextafter(1.0f, 0.0f)), 100}, {double(0.995f), 100}, {double(0.99f), 101},
        {0.0, 100}, {2.0, 50},  // silence; a damaged file's sample past full scale
        {100.0 / 2147483648.0 * 1.5, int32_t(2147483648.0 / 1.5)}, {100.0 / 2147483648.0, kMost}, {1e-12, kMost},
        {double(std::numeric_limits<float>::denorm_min()), kMost},
    };
    for (const auto& row : rows)
        EXPECT_EQ(GainForPeak(row.peak), row.gain) << row.peak;
    // Every power of two down to the smallest float: the gain never drops as the peak shrinks.
    int32_t previous = 0;
    for (int e = 0; e <= 149; ++e) {
        const int32_t gain = GainForPeak(std::ldexp(1.0, -e));
        ASSERT_GE(gain, std::max(previous, 100)) << "2^-" << e;
        previous = gain;
    }
}

TEST_F(EditKernels, ChannelConversionsSetTheFormatRecordAndShareStores)
{
    auto record = [](const SoundBuffer& b) {
        return std::tuple(int(b.format.channelCount), b.IsMono() ? 1 : b.IsStereo() ? 2 : 0, int(b.format.blockAlign),
                          uint32_t(b.format.avgBytesPerSecond), int(b.format.bitsPerSample), b.FrameCount(),
                          b.channels.FrameCount(), b.HasSound());
    };
    SoundBuffer buffer, stereo, eight, empty;
    Make(buffer, {0.1f, -0.2f, 0.3f}, {0.1f, 0.2f, -0.3f});
    ASSERT_EQ(ToMono(buffer), 1);
    EXPECT_EQ(record(buffer), std::tuple(1, 1, 2, 88200u, 16, 3u, 3u, true));
    EXPECT_EQ(buffer.dataByteCount, 12u) << "left as the stereo sound had it";
    const Samples mono = Left(buffer);
    EXPECT_EQ(ToMono(buffer), 1) << "nothing to do";
    EXPECT_TRUE(SameSamples(Left(buffer), mono));
    EXPECT_EQ(record(buffer), std::tuple(1, 1, 2, 88200u, 16, 3u, 3u, true));
    Progress progress(100);
    ASSERT_EQ(ToStereo(buffer, &progress), 1);
    EXPECT_EQ(progress.Position(), 100u);
    EXPECT_FALSE(progress.IsFailed());
    EXPECT_EQ(record(buffer), std::tuple(2, 2, 4, 176400u, 16, 3u, 3u, true));
    EXPECT_EQ(TempFiles().size(), 1u) << "the second channel shares the first's store";

    Make(stereo, {0.1f, 0.2f}, {0.3f, 0.4f});
    Progress done(10);
    ASSERT_EQ(ToStereo(stereo, &done), 1) << "nothing to do";
    EXPECT_EQ(done.Position(), 10u);
    EXPECT_EQ(record(stereo), std::tuple(2, 2, 4, 176400u, 16, 2u, 2u, true));
    EXPECT_TRUE(SameSamples(Right(stereo), {0.3f, 0.4f}));
    EXPECT_EQ(TempFiles().size(), 3u);

    // An 8-bit sound as the WAV reader leaves it: block align 1 per channel.
    Make(eight, {0.5f, -0.5f});
    eight.format.bitsPerSample = 8;
    eight.format.blockAlign = 1;
    eight.format.avgBytesPerSecond = eight.format.samplesPerSecond = 22050;
    ASSERT_EQ(ToStereo(eight), 1);
    EXPECT_EQ(record(eight), std::tuple(2, 2, 2, 44100u, 8, 2u, 2u, true));
    ASSERT_EQ(ToMono(eight), 1);
    EXPECT_EQ(record(eight), std::tuple(1, 1, 1, 22050u, 8, 2u, 2u, true));

    EXPECT_EQ(ToMono(empty), 0);
    EXPECT_EQ(ToStereo(empty), 1);
    EXPECT_TRUE(empty.IsEmpty());
}

TEST_F(EditKernels, FailuresLeaveTheSoundAsItWas)
{
    const Samples left{0.1f, -0.2f, 0.3f, 0.4f}, right{0.5f, 0.6f, -0.7f, 0.8f};
    SoundBuffer buffer, empty;
    Make(buffer, left, right);
    for (const Op op : {Op::Volume, Op::Increase, Op::FadeIn, Op::FadeOut}) {
        EXPECT_EQ(Apply(buffer, op, {3, 1}, 50), 0) << "end before start";
        EXPECT_EQ(Apply(empty, op, {-1, -1}, 50), 0) << "no sound";
    }
    EXPECT_EQ(ChangeVolume(buffer, 100, -5, 50), 0) << "clamped, the end still lies before the start";
    EXPECT_EQ(ChangeVolume(empty, -1, -1, 100), 0) << "even with nothing to do, a sound is needed";
    EXPECT_TRUE(SameSamples(Left(buffer), left));
    EXPECT_TRUE(SameSamples(Right(buffer), right));
    EXPECT_TRUE(empty.IsEmpty());

    ChannelStore unready, shorter;
    ChannelStore& first = buffer.channels.Channel(0);
    EXPECT_EQ(ScaleRange(unready, 0, 0, 50), 0);
    EXPECT_EQ(IncreaseVolume(unready, 0, 0), 0);
    EXPECT_EQ(FadeIn(unready, 0, 0), 0);
    EXPECT_EQ(ScaleDownByPeak(unready, 2.0), 0);
    EXPECT_EQ(MixInto(first, unready), 0);
    EXPECT_EQ(MixInto(first, first), 0) << "a channel into itself";
    ASSERT_EQ(shorter.Allocate(3), 1);
    EXPECT_EQ(MixInto(first, shorter), 0) << "channels of different lengths";
    EXPECT_EQ(MixInto(shorter, first), 0) << "a longer channel into a shorter";
    EXPECT_EQ(ScaleDownByPeak(first, double(kInf)), 0);
    EXPECT_EQ(ScaleDownByPeak(first, double(kNaN)), 0);
    EXPECT_EQ(ScaleDownByPeak(first, 1.0), 1);
    EXPECT_TRUE(SameSamples(Left(buffer), left));
    EXPECT_EQ(ScaleDownByPeak(first, 2.0), 1);
    EXPECT_TRUE(SameSamples(Left(buffer), {0.05f, -0.1f, 0.15f, 0.2f}));

    SoundBuffer damaged;
    Make(damaged, {0.25f, kNaN, kInf, -kInf, -0.5f});
    EXPECT_EQ(PeakInRange(damaged.channels.Channel(0), -1, -1), 0.5) << "damaged samples are no peak";
    EXPECT_EQ(ScaleRange(damaged.channels.Channel(0), 0, 5, 100), 1);
    EXPECT_TRUE(SameSamples(Left(damaged), {0.25f, kNaN, kInf, -kInf, -0.5f})) << "100 % rewrites nothing";
}

TEST_F(EditKernels, AFullDiskFailsAnEditThatWritesAndLeavesTheSoundAsItWas)
{
    SoundBuffer buffer;
    const Samples samples(kBlockSamples * 2, 0.25f);
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

// Real sounds, 8 s so that the selection crosses the block boundary at kBlockSamples. Their samples
// reach the buffer through sox's own raw 16-bit output and S16ToFloat, not through our WAV reader.
TEST_F(EditKernels, EveryEditMatchesTheOracleOnRealSounds)
{
    const struct {
        const char* name;
        const char* synth;  // sox arguments after "-n -r 44100 -c <channels> -b 16 out.wav"
        int channels;
    } sounds[] = {
        {"pink noise", "synth 8 pinknoise vol 0.5", 2},
        {"sweep", "synth 8 sine 100-8000 vol 0.4", 1},
        {"loud two-tone", "synth 8 sine 440 sine 660 vol 0.9", 2},
    };
    const struct {
        const char* name;
        Op op;
        int32_t percent;
    } edits[] = {{"0 %", Op::Volume, 0},   {"37 %", Op::Volume, 37},       {"124 %", Op::Volume, 124},
                 {"500 %", Op::Volume, 500}, {"raise", Op::Increase, 0}, {"fade in", Op::FadeIn, 0},
                 {"fade out", Op::FadeOut, 0}};
    for (const auto& sound : sounds) {
        SCOPED_TRACE(sound.name);
        const std::string wav = PathOf("in.wav").string(), raw = PathOf("in.raw").string();
        ASSERT_EQ(test::RunCommand("sox -R -n -r 44100 -c " + std::to_string(sound.channels) + " -b 16 '" + wav +
                                   "' " + sound.synth + " && sox '" + wav + "' -t raw -e signed-integer -b 16 -L '" +
                                   raw + "'"),
                  0);
        const std::vector<unsigned char> bytes = test::ReadFileBytes(raw);
        const size_t frames = bytes.size() / (2 * size_t(sound.channels));
        ASSERT_GT(frames, size_t(kBlockSamples));
        std::vector<Samples> original(size_t(sound.channels), Samples(frames));
        for (size_t i = 0; i < frames * size_t(sound.channels); ++i)
            original[i % size_t(sound.channels)][i / size_t(sound.channels)] =
                S16ToFloat(int16_t(uint16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8))));
        auto load = [&](SoundBuffer& buffer) {
            ASSERT_EQ(buffer.CreateSilent(sound.channels == 2, uint32_t(frames), 44100), 1);
            for (int c = 0; c < sound.channels; ++c)
                FillStore(buffer.channels.Channel(c), original[size_t(c)]);
        };
        {
            SoundBuffer buffer;
            load(buffer);
            std::vector<int16_t> back(frames * size_t(sound.channels));
            EXPECT_EQ(buffer.ReadInterleaved16(back.data(), uint32_t(back.size()), 0), back.size());
            EXPECT_EQ(std::memcmp(back.data(), bytes.data(), bytes.size()), 0) << "the bytes sox wrote, back";
        }
        for (const auto& edit : edits) {
            for (const Selection s : {Selection{100000, 300000}, Selection{-1, -1}}) {
                SCOPED_TRACE(testing::Message() << edit.name << " on " << s.start << ".." << s.end);
                SoundBuffer buffer;
                load(buffer);
                ASSERT_EQ(Apply(buffer, edit.op, s, edit.percent), 1);
                for (int c = 0; c < sound.channels; ++c) {
                    const Samples expected = Expected(edit.op, edit.percent, original[size_t(c)], s);
                    EXPECT_NE(expected, original[size_t(c)]) << "the oracle must see a change to compare";
                    EXPECT_TRUE(SameSamples(ReadStore(buffer.channels.Channel(c)), expected)) << "channel " << c;
                }
            }
        }
        SoundBuffer buffer;
        load(buffer);
        if (sound.channels == 1) {
            ASSERT_EQ(ToStereo(buffer), 1);
            EXPECT_EQ(TempFiles().size(), 1u) << "the second channel shares the first's store";
            EXPECT_TRUE(SameSamples(Right(buffer), original[0]));
        }
        ASSERT_EQ(ToMono(buffer), 1);
        EXPECT_TRUE(SameSamples(Left(buffer), ExpectedMono(original[0], original.back())));
        EXPECT_EQ(buffer.format.avgBytesPerSecond, 88200u);
        EXPECT_EQ(TempFiles().size(), 1u);
    }
    EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace brindle

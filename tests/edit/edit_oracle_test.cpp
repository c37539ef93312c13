// The edit kernels against an independent oracle on real sounds.
//
// Sounds are made by sox at test time (pink noise, a sine sweep, a loud two-tone sine), 8 seconds so
// that every selection crosses the block boundary at kBlockSamples. Their samples reach the buffer
// through sox's own raw 16-bit output and S16ToFloat, not through our WAV reader, and the expected
// result of each edit is computed here, sample by sample, in plain double arithmetic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "storage/sample_conversion.h"
#include "edit/sound_edits.h"
#include "storage/sound_buffer.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using Samples = std::vector<float>;

struct Sound {
    std::string name;
    std::string synth;  // sox arguments after "-n -r 44100 -c <channels> -b 16 out.wav"
    int channels;
};

const Sound kSounds[] = {
    {"pink noise", "synth 8 pinknoise vol 0.5", 2},
    {"sweep", "synth 8 sine 100-8000 vol 0.4", 1},
    {"loud two-tone", "synth 8 sine 440 sine 660 vol 0.9", 2},
};

// The selections every kernel runs on: one across the first block boundary, and the whole sound.
struct Selection {
    int64_t start, end;
};
const Selection kSelections[] = {{100000, 300000}, {-1, -1}};

// What a kernel stores: the nearest float, then clamped to full scale.
float Stored(double y)
{
    float f = float(y);
    if (y > 1.0)
        f = 1.0f;
    if (y < -1.0)
        f = -1.0f;
    return f;
}

void Resolve(size_t length, Selection& s)
{
    s.start = std::min<int64_t>(std::max<int64_t>(s.start, 0), int64_t(length));
    s.end = std::min<int64_t>(std::max<int64_t>(s.end, 0), int64_t(length));
    if (s.start == s.end)
        s = {0, int64_t(length)};
}

Samples ExpectedScale(Samples x, Selection s, int32_t percent)
{
    Resolve(x.size(), s);
    for (int64_t i = s.start; i < s.end; ++i)
        x[size_t(i)] = Stored(double(percent) * double(x[size_t(i)]) * 0.009999999776482582);
    return x;
}

Samples ExpectedIncrease(const Samples& x, Selection s)
{
    Selection r = s;
    Resolve(x.size(), r);
    double peak = 0.0;
    for (int64_t i = r.start; i < r.end; ++i)
        peak = std::max(peak, std::fabs(double(x[size_t(i)])));
    const int32_t gain = peak > 0.0 ? int32_t(100.0 / peak) : 100;
    return gain == 100 ? x : ExpectedScale(x, s, gain);
}

Samples ExpectedFade(Samples x, Selection s, bool fadeIn)
{
    Resolve(x.size(), s);
    const double last = double(s.end - s.start - 1);
    for (int64_t i = s.start; i < s.end; ++i) {
        const double k = double(i - s.start);
        const double v = x[size_t(i)];
        x[size_t(i)] = Stored(fadeIn ? k * v / last : (1.0 - k / last) * v);
    }
    return x;
}

Samples ExpectedMono(const Samples& left, const Samples& right)
{
    Samples sum(left.size());
    double peak = 0.0;
    for (size_t i = 0; i < left.size(); ++i) {
        sum[i] = left[i] + right[i];
        peak = std::max(peak, std::fabs(double(sum[i])));
    }
    if (peak > 1.0) {
        for (float& v : sum)
            v = Stored(double(v) * (1.0 / peak));
    }
    return sum;
}

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
    return ::testing::AssertionFailure() << wrong << " samples differ, the first at " << first << ": "
                                         << actual[first] << " instead of " << expected[first];
}

class EditOracle : public test::TempDirTest {
protected:
    // Makes the sound with sox and loads it into buffer; returns its channels as floats.
    std::vector<Samples> Load(const Sound& sound, SoundBuffer& buffer)
    {
        const std::string wav = PathOf("in.wav").string(), raw = PathOf("in.raw").string();
        const std::string make = "sox -R -n -r 44100 -c " + std::to_string(sound.channels) + " -b 16 '" + wav +
                                 "' " + sound.synth + " && sox '" + wav + "' -t raw -e signed-integer -b 16 -L '" +
                                 raw + "'";
        EXPECT_EQ(test::RunCommand(make), 0) << make;
        const std::vector<unsigned char> bytes = test::ReadFileBytes(raw);
        const size_t frames = bytes.size() / (2 * size_t(sound.channels));
        EXPECT_GT(frames, size_t(kBlockSamples)) << sound.name << ": too short to cross a block boundary";
        std::vector<Samples> channels(size_t(sound.channels), Samples(frames));
        for (size_t f = 0; f < frames; ++f) {
            for (int c = 0; c < sound.channels; ++c) {
                const unsigned char* p = &bytes[(f * size_t(sound.channels) + size_t(c)) * 2];
                channels[size_t(c)][f] = S16ToFloat(int16_t(uint16_t(p[0] | (p[1] << 8))));
            }
        }
        EXPECT_EQ(buffer.CreateSilent(sound.channels == 2, uint32_t(frames), 44100), 1);
        for (int c = 0; c < sound.channels; ++c)
            test::FillStore(buffer.channels.Channel(c), channels[size_t(c)]);

        // The buffer gives back exactly the bytes sox wrote.
        std::vector<int16_t> back(frames * size_t(sound.channels));
        EXPECT_EQ(buffer.ReadInterleaved16(back.data(), uint32_t(back.size()), 0), back.size());
        EXPECT_EQ(std::memcmp(back.data(), bytes.data(), bytes.size()), 0) << sound.name;
        return channels;
    }

    // Runs edit on a fresh copy of every sound and selection and compares each channel with oracle.
    template <class Edit, class Oracle>
    void Check(const char* what, Edit edit, Oracle oracle)
    {
        for (const Sound& sound : kSounds) {
            for (const Selection s : kSelections) {
                SCOPED_TRACE(testing::Message() << what << " on " << sound.name << ", " << s.start << ".." << s.end);
                SoundBuffer buffer;
                const std::vector<Samples> original = Load(sound, buffer);
                ASSERT_EQ(edit(buffer, s), 1);
                for (int c = 0; c < sound.channels; ++c) {
                    const Samples expected = oracle(original[size_t(c)], s);
                    EXPECT_NE(expected, original[size_t(c)]) << "the oracle must see a change to compare";
                    EXPECT_TRUE(SameSamples(test::ReadStore(buffer.channels.Channel(c)), expected)) << "channel " << c;
                }
            }
        }
    }
};

TEST_F(EditOracle, ChangeVolume)
{
    for (const int32_t percent : {0, 37, 124, 500}) {
        SCOPED_TRACE(percent);
        Check(
            "change volume",
            [percent](SoundBuffer& b, Selection s) { return ChangeVolume(b, s.start, s.end, percent); },
            [percent](const Samples& x, Selection s) { return ExpectedScale(x, s, percent); });
    }
}

TEST_F(EditOracle, IncreaseVolume)
{
    Check(
        "increase volume", [](SoundBuffer& b, Selection s) { return IncreaseVolume(b, s.start, s.end); },
        [](const Samples& x, Selection s) { return ExpectedIncrease(x, s); });
}

TEST_F(EditOracle, Fades)
{
    Check(
        "fade in", [](SoundBuffer& b, Selection s) { return FadeIn(b, s.start, s.end); },
        [](const Samples& x, Selection s) { return ExpectedFade(x, s, true); });
    Check(
        "fade out", [](SoundBuffer& b, Selection s) { return FadeOut(b, s.start, s.end); },
        [](const Samples& x, Selection s) { return ExpectedFade(x, s, false); });
}

TEST_F(EditOracle, ToMonoAndToStereo)
{
    for (const Sound& sound : kSounds) {
        SCOPED_TRACE(sound.name);
        SoundBuffer buffer;
        const std::vector<Samples> original = Load(sound, buffer);
        if (sound.channels == 2) {
            ASSERT_EQ(ToMono(buffer), 1);
            const Samples expected = ExpectedMono(original[0], original[1]);
            EXPECT_TRUE(SameSamples(test::ReadStore(buffer.channels.Channel(0)), expected));
            EXPECT_EQ(buffer.format.channelCount, 1);
            EXPECT_EQ(buffer.format.blockAlign, 2);
            EXPECT_EQ(buffer.format.avgBytesPerSecond, 88200u);
        } else {
            ASSERT_EQ(ToStereo(buffer), 1);
            EXPECT_TRUE(SameSamples(test::ReadStore(buffer.channels.Channel(0)), original[0]));
            EXPECT_TRUE(SameSamples(test::ReadStore(buffer.channels.Channel(1)), original[0]));
            EXPECT_EQ(buffer.format.blockAlign, 4);
            EXPECT_EQ(buffer.format.avgBytesPerSecond, 176400u);
            ASSERT_EQ(ToMono(buffer), 1);
            EXPECT_TRUE(SameSamples(test::ReadStore(buffer.channels.Channel(0)), ExpectedMono(original[0], original[0])));
        }
        EXPECT_EQ(TempFiles().size(), 1u);
    }
    EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace brindle

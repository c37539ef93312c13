#include "storage/sample_conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "storage/channel_store.h"
#include "support/test_support.h"

namespace brindle {
namespace {

TEST(SampleConversion, EveryByteAndWordRoundTripsExactly)
{
    for (int b = 0; b < 256; ++b)
        ASSERT_EQ(FloatToU8(U8ToFloat(uint8_t(b))), b) << b;
    for (int s = -32768; s <= 32767; ++s)
        ASSERT_EQ(FloatToS16(S16ToFloat(int16_t(s))), s) << s;
}

TEST(SampleConversion, KnownValuesAndClamping)
{
    EXPECT_EQ(U8ToFloat(0), -1.0f);
    EXPECT_EQ(U8ToFloat(255), 0.9921875f);
    EXPECT_EQ(S16ToFloat(-32768), -1.0f);
    EXPECT_EQ(S16ToFloat(32767), 0.999969482421875f);
    EXPECT_EQ(FloatToS16(0.5f), 16384);
    EXPECT_EQ(FloatToU8(0.5f), 192);
    EXPECT_EQ(FloatToS16(-0.5f), -16384);
    EXPECT_EQ(FloatToU8(-0.5f), 64);
    EXPECT_EQ(FloatToS16(1.0f), 32767);
    EXPECT_EQ(FloatToU8(1.0f), 255);
    EXPECT_EQ(FloatToS16(-1.0f), -32768);
    EXPECT_EQ(FloatToU8(-1.0f), 0);
    EXPECT_EQ(FloatToS16(7.0f), 32767);
    EXPECT_EQ(FloatToS16(-7.0f), -32768);
    EXPECT_EQ(FloatToU8(-3.0f), 0);
    // Halves go up: 0.5 LSB above -1 LSB rounds to 0, not to -1.
    EXPECT_EQ(FloatToS16(-0.5f / 32768.0f), 0);
    EXPECT_EQ(FloatToS16(0.5f / 32768.0f), 1);
    EXPECT_EQ(FloatToS16(std::numeric_limits<float>::infinity()), 32767);
    EXPECT_EQ(FloatToS16(std::numeric_limits<float>::quiet_NaN()), 0) << "NaN is silence, not a click";
    EXPECT_EQ(FloatToU8(std::numeric_limits<float>::quiet_NaN()), 128);
}

// 24 and 32 bits follow the 16-bit rules: halves up, clamping, NaN to silence. Every 24-bit value
// comes back; a 32-bit one comes back as the nearest float holds it.
TEST(SampleConversion, TwentyFourAndThirtyTwoBitRulesRoundAndClampAsSixteenBitDoes)
{
    for (int32_t s = -8388608; s <= 8388607; ++s)
        ASSERT_EQ(FloatToS24(S32ToFloat(s * 256)), s) << s;
    for (uint64_t bits = 0; bits < (uint64_t(1) << 32); bits += 65537) {
        const auto s = int32_t(uint32_t(bits));
        ASSERT_EQ(FloatToS32(S32ToFloat(s)), std::min<int64_t>(int64_t(float(s)), INT32_MAX)) << s;
    }
    EXPECT_EQ(S32ToFloat(INT32_MIN), -1.0f);
    EXPECT_EQ(S32ToFloat(INT32_MAX), 1.0f) << "the nearest float to 1 - 2^-31";
    EXPECT_EQ(FloatToS24(0.5f), 4194304);
    EXPECT_EQ(FloatToS32(-0.5f), -1073741824);
    EXPECT_EQ(FloatToS24(1.0f), 8388607);
    EXPECT_EQ(FloatToS32(1.0f), INT32_MAX);
    EXPECT_EQ(FloatToS24(-1.0f), -8388608);
    EXPECT_EQ(FloatToS32(-1.0f), INT32_MIN);
    EXPECT_EQ(FloatToS24(-7.0f), -8388608);
    EXPECT_EQ(FloatToS32(7.0f), INT32_MAX);
    EXPECT_EQ(FloatToS24(-0.5f / 8388608.0f), 0);
    EXPECT_EQ(FloatToS24(0.5f / 8388608.0f), 1);
    EXPECT_EQ(FloatToS32(-0.5f / 2147483648.0f), 0);
    EXPECT_EQ(FloatToS32(0.5f / 2147483648.0f), 1);
    // Just under 1.5 steps: an offset added before the floor would round it across to 2.
    EXPECT_EQ(FloatToS32(std::nextafter(1.5f, 0.0f) / 2147483648.0f), 1);
    EXPECT_EQ(FloatToS24(std::nextafter(1.5f, 0.0f) / 8388608.0f), 1);
    EXPECT_EQ(FloatToS32(std::numeric_limits<float>::infinity()), INT32_MAX);
    EXPECT_EQ(FloatToS24(-std::numeric_limits<float>::infinity()), -8388608);
    EXPECT_EQ(FloatToS24(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(FloatToS32(std::numeric_limits<float>::quiet_NaN()), 0);
}

// The block conversions are written for speed apart from the per-sample rules; they must agree with
// them on every value, in every interleaving, up to the last sample.
TEST(SampleConversion, BlockConversionsFollowTheSampleRules)
{
    std::vector<float> floats;
    const auto withNeighbours = [&](float x) {
        float below = x, above = x;
        for (int step = 0; step < 3; ++step) {
            floats.push_back(below);
            floats.push_back(above);
            below = std::nextafter(below, -INFINITY);
            above = std::nextafter(above, INFINITY);
        }
    };
    for (int s = -32769; s <= 32768; ++s) {
        withNeighbours(float(s) / 32768.0f);
        withNeighbours((float(s) + 0.5f) / 32768.0f);
    }
    for (uint64_t bits = 0; bits < (uint64_t(1) << 32); bits += 4099) {
        float x;
        const auto word = uint32_t(bits);
        std::memcpy(&x, &word, sizeof x);
        floats.push_back(x);
    }
    for (float x : {INFINITY, -INFINITY, NAN, -NAN, 0.0f, -0.0f, std::numeric_limits<float>::denorm_min(),
                    std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest()})
        floats.push_back(x);

    for (size_t stride : {1, 2}) {
        for (size_t channel = 0; channel < stride; ++channel) {
            SCOPED_TRACE("stride " + std::to_string(stride) + ", channel " + std::to_string(channel));
            // An odd count leaves a tail for the per-sample loop.
            const size_t count = floats.size() - 3;
            std::vector<uint8_t> pcm(2 * count * stride, 0xAB);
            ConvertFloatToS16Le(floats.data(), count, pcm.data() + 2 * channel, stride);
            std::vector<float> back(count);
            ConvertS16LeToFloat(pcm.data() + 2 * channel, stride, back.data(), count);
            for (size_t k = 0; k < count; ++k) {
                const size_t at = 2 * (k * stride + channel);
                const int16_t expected = FloatToS16(floats[k]);
                const auto written = int16_t(uint16_t(pcm[at] | (pcm[at + 1] << 8)));
                ASSERT_EQ(written, expected) << "sample " << k << " = " << floats[k];
                ASSERT_EQ(back[k], S16ToFloat(expected)) << "sample " << k;
                if (stride == 2) {
                    ASSERT_EQ(pcm[2 * (k * stride + 1 - channel)], 0xAB) << "the other channel was written";
                }
            }
        }
    }
}

class PcmBlockTest : public test::TempDirTest {};

TEST_F(PcmBlockTest, PutAndGetStereo16Interleaved)
{
    ChannelStore left, right;
    const uint32_t n = kBlockSamples + 3;
    ASSERT_EQ(left.Allocate(n), 1);
    ASSERT_EQ(right.Allocate(n), 1);
    std::vector<uint8_t> pcm(size_t(kBlockSamples) * 4);
    for (uint32_t k = 0; k < kBlockSamples; ++k) {
        const uint16_t l = uint16_t(int16_t(k % 65536 - 32768)), r = uint16_t(int16_t(32767 - k % 65536));
        pcm[4 * k] = uint8_t(l);
        pcm[4 * k + 1] = uint8_t(l >> 8);
        pcm[4 * k + 2] = uint8_t(r);
        pcm[4 * k + 3] = uint8_t(r >> 8);
    }
    ASSERT_EQ(left.PutPcmBlock(0, pcm.data(), 4, kBlockSamples, 2, 0), int(kBlockSamples));
    ASSERT_EQ(right.PutPcmBlock(0, pcm.data(), 4, kBlockSamples, 2, 1), int(kBlockSamples));
    EXPECT_EQ(test::ReadStore(left)[1], -32767.0f / 32768.0f);

    std::vector<uint8_t> back(pcm.size(), 0);
    ASSERT_EQ(left.GetPcmBlock(0, back.data(), 4, kBlockSamples, 2, 0), int(kBlockSamples));
    ASSERT_EQ(right.GetPcmBlock(0, back.data(), 4, kBlockSamples, 2, 1), int(kBlockSamples));
    EXPECT_EQ(back, pcm);

    // The last block holds 3 samples: a smaller capacity fails, the right one gives 3.
    EXPECT_EQ(left.GetPcmBlock(1, back.data(), 4, 2, 2, 0), 0);
    EXPECT_EQ(left.GetPcmBlock(1, back.data(), 4, 3, 2, 0), 3);
}

TEST_F(PcmBlockTest, Put8BitMonoAndRefusals)
{
    ChannelStore store;
    ASSERT_EQ(store.Allocate(256), 1);
    std::vector<uint8_t> bytes(256);
    for (int b = 0; b < 256; ++b)
        bytes[size_t(b)] = uint8_t(b);
    ASSERT_EQ(store.PutPcmBlock(0, bytes.data(), 1, 256, 1, 0), 256);
    std::vector<uint8_t> back(256, 7);
    ASSERT_EQ(store.GetPcmBlock(0, back.data(), 1, 256, 1, 0), 256);
    EXPECT_EQ(back, bytes);

    EXPECT_EQ(store.PutPcmBlock(0, bytes.data(), 1, 0, 1, 0), 0) << "count 0";
    EXPECT_EQ(store.PutPcmBlock(0, bytes.data(), 1, 257, 1, 0), 0) << "more than the block";
    EXPECT_EQ(store.PutPcmBlock(0, bytes.data(), 3, 10, 1, 0), 0) << "block align 3";
    EXPECT_EQ(store.PutPcmBlock(0, bytes.data(), 2, 10, 1, 1), 0) << "channel 1 of mono";
    EXPECT_EQ(store.PutPcmBlock(0, bytes.data(), 4, 10, 1, 0), 0) << "32-bit mono";
    EXPECT_EQ(store.PutPcmBlock(0, nullptr, 1, 10, 1, 0), 0);
    EXPECT_EQ(store.PutPcmBlock(1, bytes.data(), 1, 10, 1, 0), 0) << "no such block";
}

}  // namespace
}  // namespace brindle

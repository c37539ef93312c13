#include "storage/sample_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

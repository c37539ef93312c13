#include "storage/sample_conversion.h"

#include <bit>
#include <cmath>

#include "storage/channel_store.h"
#include "support/test_support.h"

namespace brindle {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity(), kNaN = std::numeric_limits<float>::quiet_NaN();

// Every 8-, 16- and 24-bit value comes back; a 32-bit one as the nearest float holds it. Halves go up
// (half a step above -1 step rounds to 0), values beyond full scale clamp, and NaN is silence, not a click.
TEST(SampleConversion, EveryValueRoundTripsAndEveryWidthRoundsAndClampsAlike)
{
    for (int b = 0; b < 256; ++b)
        ASSERT_EQ(FloatToU8(U8ToFloat(uint8_t(b))), b) << b;
    for (int s = -32768; s <= 32767; ++s)
        ASSERT_EQ(FloatToS16(S16ToFloat(int16_t(s))), s) << s;
    for (int32_t s = -8388608; s <= 8388607; ++s)
        ASSERT_EQ(FloatToS24(S32ToFloat(s * 256)), s) << s;
    for (uint64_t bits = 0; bits < (uint64_t(1) << 32); bits += 65537) {
        const auto s = int32_t(uint32_t(bits));
        ASSERT_EQ(FloatToS32(S32ToFloat(s)), std::min<int64_t>(int64_t(float(s)), INT32_MAX)) << s;
    }
    // The ends of each scale; 1 - 2^-31 as the nearest float, 1.
    EXPECT_EQ(std::tuple(U8ToFloat(0), U8ToFloat(255), S16ToFloat(-32768), S16ToFloat(32767), S32ToFloat(INT32_MIN), S32ToFloat(INT32_MAX)),
              std::tuple(-1.0f, 0.9921875f, -1.0f, 0.999969482421875f, -1.0f, 1.0f));
    const float justUnder = std::nextafter(1.5f, 0.0f);  // an offset added before the floor would round it to 2
    const struct {
        float x;  // in steps of the width's own
        int u8, s16, s24;
        int64_t s32;
    } cases[] = {
        {0.5f, 192, 16384, 4194304, 1073741824},
        {-0.5f, 64, -16384, -4194304, -1073741824},
        {1.0f, 255, 32767, 8388607, INT32_MAX},
        {-1.0f, 0, -32768, -8388608, INT32_MIN},
        {7.0f, 255, 32767, 8388607, INT32_MAX},
        {-7.0f, 0, -32768, -8388608, INT32_MIN},
        {kInf, 255, 32767, 8388607, INT32_MAX},
        {-kInf, 0, -32768, -8388608, INT32_MIN},
        {kNaN, 128, 0, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::tuple(FloatToU8(c.x), FloatToS16(c.x), FloatToS24(c.x), FloatToS32(c.x)), std::tuple(c.u8, c.s16, c.s24, c.s32)) << c.x;
    for (const auto& [steps, n] : {std::pair{-0.5f, 0}, {0.5f, 1}, {justUnder, 1}}) {
        EXPECT_EQ(std::tuple(FloatToU8(steps / 128.0f) - 128, FloatToS16(steps / 32768.0f), FloatToS24(steps / 8388608.0f),
                             FloatToS32(steps / 2147483648.0f)),
                  std::tuple(n, n, n, n)) << steps;
    }
}

// The block conversions are written for speed apart from the per-sample rules; they must agree with
// them on every value, in every interleaving, up to the last sample.
TEST(SampleConversion, BlockConversionsFollowTheSampleRules)
{
    std::vector<float> floats;
    for (int s = -32769; s <= 32768; ++s) {  // every step and half step, with their neighbours
        for (float x : {float(s) / 32768.0f, (float(s) + 0.5f) / 32768.0f}) {
            float below = x, above = x;
            for (int step = 0; step < 3; ++step, below = std::nextafter(below, -kInf), above = std::nextafter(above, kInf))
                floats.push_back(below), floats.push_back(above);
        }
    }
    for (uint64_t bits = 0; bits < (uint64_t(1) << 32); bits += 4099)
        floats.push_back(std::bit_cast<float>(uint32_t(bits)));
    for (float x : {kInf, -kInf, NAN, -NAN, 0.0f, -0.0f, std::numeric_limits<float>::denorm_min(),
                    std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest()})
        floats.push_back(x);
    const size_t count = floats.size() - 3;  // an odd count leaves a tail for the per-sample loop
    for (const auto& [stride, channel] : {std::pair<size_t, size_t>{1, 0}, {2, 0}, {2, 1}}) {
        SCOPED_TRACE("stride " + std::to_string(stride) + ", channel " + std::to_string(channel));
        std::vector<uint8_t> pcm(2 * count * stride, 0xAB);
        ConvertFloatToS16Le(floats.data(), count, pcm.data() + 2 * channel, stride);
        std::vector<float> back(count);
        ConvertS16LeToFloat(pcm.data() + 2 * channel, stride, back.data(), count);
        for (size_t k = 0; k < count; ++k) {
            const size_t at = 2 * (k * stride + channel), other = 2 * (k * stride + 1 - channel);
            const int16_t expected = FloatToS16(floats[k]);
            ASSERT_EQ(std::tuple(int16_t(uint16_t(pcm[at] | (pcm[at + 1] << 8))), back[k], stride == 1 || pcm[other] == 0xAB),
                      std::tuple(expected, S16ToFloat(expected), true))
                << "sample " << k << " = " << floats[k] << "; the last: the other channel untouched";
        }
    }
}

class PcmBlockTest : public test::TempDirTest {};

TEST_F(PcmBlockTest, PutAndGetStereo16And8BitMonoAndRefusals)
{
    ChannelStore left, right, mono;
    const uint32_t n = kBlockSamples + 3;
    ASSERT_EQ(left.Allocate(n), 1);
    ASSERT_EQ(right.Allocate(n), 1);
    std::vector<uint8_t> pcm(size_t(kBlockSamples) * 4), back(pcm.size(), 0);
    for (uint32_t k = 0; k < kBlockSamples; ++k) {
        const uint16_t l = uint16_t(int16_t(k % 65536 - 32768)), r = uint16_t(int16_t(32767 - k % 65536));
        pcm[4 * k] = uint8_t(l), pcm[4 * k + 1] = uint8_t(l >> 8), pcm[4 * k + 2] = uint8_t(r), pcm[4 * k + 3] = uint8_t(r >> 8);
    }
    ASSERT_EQ(left.PutPcmBlock(0, pcm.data(), 4, kBlockSamples, 2, 0), int(kBlockSamples));
    ASSERT_EQ(right.PutPcmBlock(0, pcm.data(), 4, kBlockSamples, 2, 1), int(kBlockSamples));
    EXPECT_EQ(test::ReadStore(left)[1], -32767.0f / 32768.0f);
    ASSERT_EQ(left.GetPcmBlock(0, back.data(), 4, kBlockSamples, 2, 0), int(kBlockSamples));
    ASSERT_EQ(right.GetPcmBlock(0, back.data(), 4, kBlockSamples, 2, 1), int(kBlockSamples));
    EXPECT_EQ(back, pcm);
    // The last block holds 3 samples: a smaller capacity fails, the right one gives 3.
    EXPECT_EQ(left.GetPcmBlock(1, back.data(), 4, 2, 2, 0), 0);
    EXPECT_EQ(left.GetPcmBlock(1, back.data(), 4, 3, 2, 0), 3);

    ASSERT_EQ(mono.Allocate(256), 1);
    std::vector<uint8_t> bytes(256), bytesBack(256, 7);
    for (int b = 0; b < 256; ++b)
        bytes[size_t(b)] = uint8_t(b);
    ASSERT_EQ(mono.PutPcmBlock(0, bytes.data(), 1, 256, 1, 0), 256);
    ASSERT_EQ(mono.GetPcmBlock(0, bytesBack.data(), 1, 256, 1, 0), 256);
    EXPECT_EQ(bytesBack, bytes);
    EXPECT_EQ(mono.PutPcmBlock(0, bytes.data(), 1, 0, 1, 0), 0) << "count 0";
    EXPECT_EQ(mono.PutPcmBlock(0, bytes.data(), 1, 257, 1, 0), 0) << "more than the block";
    EXPECT_EQ(mono.PutPcmBlock(0, bytes.data(), 3, 10, 1, 0), 0) << "block align 3";
    EXPECT_EQ(mono.PutPcmBlock(0, bytes.data(), 2, 10, 1, 1), 0) << "channel 1 of mono";
    EXPECT_EQ(mono.PutPcmBlock(0, bytes.data(), 4, 10, 1, 0), 0) << "32-bit mono";
    EXPECT_EQ(mono.PutPcmBlock(0, nullptr, 1, 10, 1, 0), 0);
    EXPECT_EQ(mono.PutPcmBlock(1, bytes.data(), 1, 10, 1, 0), 0) << "no such block";
}

}  // namespace
}  // namespace brindle

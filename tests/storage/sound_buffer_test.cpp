#include <gtest/gtest.h>

#include "storage/sound_buffer.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::FillStore;
using test::ReadStore;

// Left sample i is i / 2^20 and right its negative, so every frame is recognisable after a cut.
float Numbered(uint32_t frame, int channel) { return float(frame % 1000000) / float(1 << 20) * (channel ? -1.0f : 1.0f); }

class SoundBufferTest : public test::TempDirTest {
protected:
    static void MakeNumbered(SoundBuffer& buffer, uint32_t frames, bool stereo = true)
    {
        ASSERT_EQ(buffer.CreateSilent(stereo, frames, 44100), 1);
        for (int c = 0; c < (stereo ? 2 : 1); ++c) {
            std::vector<float> values(frames);
            for (uint32_t i = 0; i < frames; ++i)
                values[i] = Numbered(i, c);
            FillStore(buffer.channels.Channel(c), values);
        }
    }
};

TEST_F(SoundBufferTest, CreateSilentSetsA16BitPcmFormat)
{
    SoundBuffer buffer, none;
    EXPECT_TRUE(buffer.IsEmpty());
    ASSERT_EQ(buffer.CreateSilent(true, 1000, 44100), 1);
    test::ExpectStereo16Record(buffer, 1000);
    EXPECT_TRUE(buffer.HasSound() && buffer.IsStereo() && buffer.DurationSeconds() == 1000.0 / 44100.0);
    EXPECT_EQ(buffer.CreateSilent(true, 10, 44100) + none.CreateSilent(false, 0, 8000) + none.CreateSilent(false, 10, 0), 0)
        << "only an empty buffer, and only of some frames at some rate";
    ASSERT_EQ(none.CreateSilent(true, 1000, 48000), 1);
    EXPECT_EQ(std::tuple(uint32_t(none.format.samplesPerSecond), uint32_t(none.format.avgBytesPerSecond), none.DurationSeconds()),
              std::tuple(48000u, 192000u, 1000.0 / 48000.0));
}

TEST_F(SoundBufferTest, DeleteRangeAtBothEndsAndAcrossBlocks)
{
    const uint32_t n = kBlockSamples + 500, b = kBlockSamples;
    const struct {
        int64_t start, end;
        bool removeInside;
    } cases[] = {{0, 100, true}, {n - 100, n, true}, {200, b + 7, true}, {b - 3, n - 1, false}, {n - 6, n - 1, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.start << ".." << c.end << " inside=" << c.removeInside);
        SoundBuffer buffer;
        MakeNumbered(buffer, n);
        ASSERT_EQ(buffer.DeleteRange(c.start, c.end, c.removeInside), 1);
        std::vector<uint32_t> expected;
        for (uint32_t i = 0; i < n; ++i) {
            if ((i >= c.start && i < c.end) != c.removeInside)
                expected.push_back(i);
        }
        ASSERT_EQ(std::tuple(buffer.FrameCount(), buffer.channels.FrameCount(), buffer.dataByteCount),
                  std::tuple(expected.size(), expected.size(), expected.size() * 4));
        for (int ch = 0; ch < 2; ++ch) {
            const auto got = ReadStore(buffer.channels.Channel(ch));
            for (size_t k = 0; k < expected.size(); ++k)
                ASSERT_EQ(got[k], Numbered(expected[k], ch)) << "frame " << k << " channel " << ch;
        }
        EXPECT_EQ(TempFiles().size(), 2u) << "the old stores' files are gone";
    }
}

TEST_F(SoundBufferTest, DeleteRangeFailuresLeaveTheSoundAloneAndKeepingAllGives16Bits)
{
    SoundBuffer buffer, empty;
    MakeNumbered(buffer, 1000, false);
    const auto before = ReadStore(buffer.channels.Channel(0));
    EXPECT_EQ(buffer.DeleteRange(-1, -1, true), 0) << "no selection";
    EXPECT_EQ(buffer.DeleteRange(0, 1000, true), 0) << "deleting everything";
    EXPECT_EQ(buffer.DeleteRange(600, 500, false), 0) << "end before start";
    EXPECT_EQ(buffer.DeleteRange(2000, 3000, true), 0) << "clamps to an empty range";
    EXPECT_EQ(empty.DeleteRange(0, 1, true), 0);
    EXPECT_EQ(std::tuple(ReadStore(buffer.channels.Channel(0)), buffer.FrameCount(), TempFiles().size()), std::tuple(before, 1000u, 1u));
    buffer.format.bitsPerSample = 8, buffer.format.blockAlign = 1, buffer.format.avgBytesPerSecond = 44100;  // as an 8-bit WAV loads
    ASSERT_EQ(buffer.DeleteRange(0, 1000, false), 1) << "keeping everything gives an identical 16-bit sound";
    EXPECT_EQ(std::tuple(buffer.format.bitsPerSample, ReadStore(buffer.channels.Channel(0))), std::tuple(uint16_t(16), before));
}

TEST_F(SoundBufferTest, CutsAndCopiesNeedNoDiskAndShareTheStores)
{
    SoundBuffer buffer, copy;
    MakeNumbered(buffer, kBlockSamples * 2, false);
    {
        test::FileSizeLimit limit(1 << 10);  // no new store could be written
        ASSERT_EQ(copy.CopyFrom(buffer), 1);
        ASSERT_EQ(buffer.DeleteRange(0, 10, true), 1);
        ASSERT_EQ(buffer.DeleteRange(kBlockSamples, kBlockSamples + 5, false), 1);
    }
    EXPECT_EQ(TempFiles().size(), 1u);
    std::vector<float> kept(5);
    ASSERT_EQ(buffer.channels.Channel(0).ReadSamples(0, kept.data(), 5), 1);
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(kept[i], Numbered(kBlockSamples + 10 + i, 0));
    EXPECT_EQ(std::tuple(copy.FrameCount(), ReadStore(copy.channels.Channel(0))[9]), std::tuple(kBlockSamples * 2, Numbered(9, 0)))
        << "the copy keeps what it had";
    {
        SoundBuffer taker;
        MakeNumbered(taker, 10, false);
        taker.TakeFrom(copy);
        EXPECT_EQ(std::tuple(copy.IsEmpty(), taker.FrameCount(), TempFiles().size()), std::tuple(true, kBlockSamples * 2, 1u))
            << "the taker's old store was freed";
    }
    {
        SoundBuffer last;  // its destructor, not Clear, frees the last shared store
        ASSERT_EQ(last.CopyFrom(buffer), 1);
        buffer.Clear();
        EXPECT_EQ(TempFiles().size(), 1u);
    }
    EXPECT_TRUE(buffer.IsEmpty() && TempFiles().empty()) << "no temporary file outlives its buffers";
}

TEST_F(SoundBufferTest, ReadInterleaved16)
{
    SoundBuffer buffer;
    const uint32_t n = kBlockSamples + 10;
    ASSERT_EQ(buffer.CreateSilent(true, n, 44100), 1);
    std::vector<float> left(n, 0.5f);
    left[kBlockSamples] = 1.0f;
    FillStore(buffer.channels.Channel(0), left);
    FillStore(buffer.channels.Channel(1), std::vector<float>(n, -1.0f));
    std::vector<int16_t> out(40, 7);
    EXPECT_EQ(buffer.ReadInterleaved16(out.data(), 3, 0), 0u) << "capacity not a multiple of 2";
    EXPECT_EQ(buffer.ReadInterleaved16(out.data(), 4, n), 0u) << "start at the end";
    // Across the block boundary, cut at the sound's end; full scale +1.0 clamps.
    ASSERT_EQ(buffer.ReadInterleaved16(out.data(), 40, kBlockSamples - 2), 24u);
    EXPECT_EQ(std::vector<int16_t>(out.begin(), out.begin() + 6), (std::vector<int16_t>{16384, -32768, 16384, -32768, 32767, -32768}));
    EXPECT_EQ(std::tuple(out[23], out[24]), std::tuple(int16_t(-32768), int16_t(7))) << "nothing written past the frames";
}

}  // namespace
}  // namespace brindle

#include <gtest/gtest.h>

#include "storage/sound_buffer.h"
#include "support/test_support.h"
#include "tasks/progress.h"

namespace brindle {
namespace {

using test::FillStore;
using test::ReadStore;

class SoundBufferTest : public test::TempDirTest {
protected:
    // A stereo sound whose left sample i is i / 2^20 and right sample is its negative, so every
    // frame is recognisable after a cut.
    void MakeNumbered(SoundBuffer& buffer, uint32_t frames, bool stereo = true)
    {
        ASSERT_EQ(buffer.CreateSilent(stereo, frames, 44100), 1);
        for (int c = 0; c < (stereo ? 2 : 1); ++c) {
            std::vector<float> values(frames);
            for (uint32_t i = 0; i < frames; ++i)
                values[i] = Numbered(i, c);
            FillStore(buffer.channels.Channel(c), values);
        }
    }
    static float Numbered(uint32_t frame, int channel)
    {
        const float v = float(frame % 1000000) / float(1 << 20);
        return channel == 0 ? v : -v;
    }
};

TEST_F(SoundBufferTest, CreateSilentSetsA16BitPcmFormat)
{
    SoundBuffer buffer;
    EXPECT_TRUE(buffer.IsEmpty());
    ASSERT_EQ(buffer.CreateSilent(true, 1000, 48000), 1);
    EXPECT_EQ(buffer.format.formatTag, 1);
    EXPECT_EQ(buffer.format.channelCount, 2);
    EXPECT_EQ(buffer.format.bitsPerSample, 16);
    EXPECT_EQ(buffer.format.blockAlign, 4);
    EXPECT_EQ(buffer.format.avgBytesPerSecond, 192000u);
    EXPECT_EQ(buffer.dataByteCount, 4000u);
    EXPECT_TRUE(buffer.HasSound());
    EXPECT_TRUE(buffer.IsStereo());
    EXPECT_DOUBLE_EQ(buffer.DurationSeconds(), 1000.0 / 48000.0);
    EXPECT_EQ(buffer.CreateSilent(true, 10, 48000), 0) << "only an empty buffer";

    SoundBuffer none;
    EXPECT_EQ(none.CreateSilent(false, 0, 8000), 0);
    EXPECT_EQ(none.CreateSilent(false, 10, 0), 0);
}

TEST_F(SoundBufferTest, DeleteRangeAtBothEndsAndAcrossBlocks)
{
    const uint32_t n = kBlockSamples + 500;
    struct Case {
        int64_t start, end;
        bool removeInside;
    };
    for (const Case c : {Case{0, 100, true}, Case{n - 100, n, true}, Case{200, int64_t(kBlockSamples) + 7, true},
                         Case{int64_t(kBlockSamples) - 3, n - 1, false}, Case{n - 1 - 5, n - 1, true}}) {
        SCOPED_TRACE(testing::Message() << c.start << ".." << c.end << " inside=" << c.removeInside);
        SoundBuffer buffer;
        MakeNumbered(buffer, n);
        ASSERT_EQ(buffer.DeleteRange(c.start, c.end, c.removeInside), 1);
        std::vector<uint32_t> expected;
        for (uint32_t i = 0; i < n; ++i) {
            const bool inside = i >= c.start && i < c.end;
            if (inside != c.removeInside)
                expected.push_back(i);
        }
        ASSERT_EQ(buffer.FrameCount(), expected.size());
        ASSERT_EQ(buffer.channels.FrameCount(), expected.size());
        EXPECT_EQ(buffer.dataByteCount, expected.size() * 4);
        for (int ch = 0; ch < 2; ++ch) {
            const auto got = ReadStore(buffer.channels.Channel(ch));
            for (size_t k = 0; k < expected.size(); ++k)
                ASSERT_EQ(got[k], Numbered(expected[k], ch)) << "frame " << k << " channel " << ch;
        }
        EXPECT_EQ(TempFiles().size(), 2u) << "the old stores' files are gone";
    }
}

TEST_F(SoundBufferTest, DeleteRangeFailuresLeaveTheSoundAlone)
{
    SoundBuffer buffer;
    MakeNumbered(buffer, 1000, false);
    const auto before = ReadStore(buffer.channels.Channel(0));
    EXPECT_EQ(buffer.DeleteRange(-1, -1, true), 0) << "no selection";
    EXPECT_EQ(buffer.DeleteRange(0, 1000, true), 0) << "deleting everything";
    EXPECT_EQ(buffer.DeleteRange(600, 500, false), 0) << "end before start";
    EXPECT_EQ(buffer.DeleteRange(2000, 3000, true), 0) << "clamps to an empty range";
    EXPECT_EQ(ReadStore(buffer.channels.Channel(0)), before);
    EXPECT_EQ(buffer.FrameCount(), 1000u);
    EXPECT_EQ(TempFiles().size(), 1u);

    SoundBuffer empty;
    EXPECT_EQ(empty.DeleteRange(0, 1, true), 0);
}

TEST_F(SoundBufferTest, KeepingEverythingGivesAnIdentical16BitSound)
{
    SoundBuffer buffer;
    MakeNumbered(buffer, 300, false);
    buffer.format.bitsPerSample = 8;  // as an 8-bit WAV would have loaded
    buffer.format.blockAlign = 1;
    buffer.format.avgBytesPerSecond = 44100;
    const auto before = ReadStore(buffer.channels.Channel(0));
    ASSERT_EQ(buffer.DeleteRange(0, 300, false), 1);
    EXPECT_EQ(buffer.format.bitsPerSample, 16);
    EXPECT_EQ(ReadStore(buffer.channels.Channel(0)), before);
}

TEST_F(SoundBufferTest, CutsAndCopiesNeedNoDiskAndShareTheStores)
{
    SoundBuffer buffer;
    MakeNumbered(buffer, kBlockSamples * 2, false);
    SoundBuffer copy;
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
    EXPECT_EQ(copy.FrameCount(), kBlockSamples * 2) << "the copy keeps what it had";
    EXPECT_EQ(ReadStore(copy.channels.Channel(0))[9], Numbered(9, 0));

    SoundBuffer taker;
    MakeNumbered(taker, 10, false);
    taker.TakeFrom(copy);
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_EQ(taker.FrameCount(), kBlockSamples * 2);
    EXPECT_EQ(TempFiles().size(), 1u) << "the taker's old store was freed";
    taker.Clear();
    buffer.Clear();
    EXPECT_TRUE(taker.IsEmpty());
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(SoundBufferTest, ReadInterleaved16)
{
    SoundBuffer buffer;
    const uint32_t n = kBlockSamples + 10;
    ASSERT_EQ(buffer.CreateSilent(true, n, 44100), 1);
    std::vector<float> left(n, 0.5f), right(n, -1.0f);
    left[kBlockSamples] = 1.0f;
    FillStore(buffer.channels.Channel(0), left);
    FillStore(buffer.channels.Channel(1), right);

    std::vector<int16_t> out(40, 7);
    EXPECT_EQ(buffer.ReadInterleaved16(out.data(), 3, 0), 0u) << "capacity not a multiple of 2";
    EXPECT_EQ(buffer.ReadInterleaved16(out.data(), 4, n), 0u) << "start at the end";
    // Across the block boundary, cut at the sound's end.
    ASSERT_EQ(buffer.ReadInterleaved16(out.data(), 40, kBlockSamples - 2), 24u);
    EXPECT_EQ(out[0], 16384);
    EXPECT_EQ(out[1], -32768);
    EXPECT_EQ(out[4], 32767) << "full scale +1.0 clamps";
    EXPECT_EQ(out[23], -32768);
    EXPECT_EQ(out[24], 7) << "nothing written past the frames";
}

TEST_F(SoundBufferTest, NoTemporaryFileOutlivesItsBuffers)
{
    {
        SoundBuffer a, b;
        MakeNumbered(a, 1000);
        ASSERT_EQ(b.CopyFrom(a), 1);
        ASSERT_EQ(a.DeleteRange(0, 10, true), 1);
        EXPECT_FALSE(TempFiles().empty());
    }
    EXPECT_TRUE(TempFiles().empty());
}

}  // namespace
}  // namespace brindle

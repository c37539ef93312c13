// One sound read from several threads at once: the reads the player, the waveform and a save make
// while no edit runs. Built and run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "edit/column_peaks.h"
#include "edit/edit_kernels.h"
#include "storage/channel_set.h"
#include "support/test_support.h"

namespace brindle {
namespace {

class ConcurrentReads : public test::TempDirTest {};

TEST_F(ConcurrentReads, FourThreadsReadOneSoundAndAgreeWithOneThread)
{
    uint32_t frames = 3 * kBlockSamples + 4321;
    ChannelSet sound;
    ASSERT_EQ(sound.Allocate(2, frames, 44100), 1);
    // Cut into hundreds of pieces, so that the threads share the nodes of a deep tree of them.
    ChannelStore cut[2];
    for (int c = 0; c < 2; ++c) {
        std::vector<float> samples(frames);
        for (uint32_t i = 0; i < frames; ++i)
            samples[i] = float(0.9 * std::sin(0.001 * i * (c + 1)) * std::cos(0.00007 * i));
        test::FillStore(sound.Channel(c), samples);
        cut[c].CopyFrom(sound.Channel(c));
        for (int64_t k = 0; k < 500; ++k)
            ASSERT_EQ(cut[c].Splice(k * 1000 + 1, k * 1000 + 8, ChannelStore()), 1);
    }
    ASSERT_EQ(sound.Adopt(2, 44100, cut), 1);
    frames = sound.FrameCount();

    auto peaksOf = [&] {
        return std::array<double, 2>{PeakInRange(sound.Channel(0), -1, -1), PeakInRange(sound.Channel(1), -1, -1)};
    };
    auto interleaved = [&] {
        std::vector<int16_t> out(size_t(frames) * 2);
        EXPECT_EQ(sound.ReadInterleaved16(out.data(), uint32_t(out.size()), 0), out.size());
        return out;
    };
    auto columns = [&] {
        std::array<std::vector<PeakColumn>, 2> peaks;
        EXPECT_EQ(ComputeColumnPeaks(sound, 0, frames, 777, peaks), 1);
        std::vector<float> flat;
        for (const auto& side : peaks)
            for (const PeakColumn& column : side)
                flat.insert(flat.end(), {column.max, column.min});
        return flat;
    };
    auto copied = [&] {
        ChannelSet copy;
        EXPECT_EQ(copy.CopyFrom(sound), 1);
        // A cut of a copy builds nodes over the shared ones, and drops them again.
        ChannelStore cutCopy;
        cutCopy.CopyFrom(sound.Channel(1));
        EXPECT_EQ(cutCopy.Splice(frames / 2, frames / 2 + 5, ChannelStore()), 1);
        std::vector<int16_t> out(size_t(frames) * 2);
        EXPECT_EQ(copy.ReadInterleaved16(out.data(), uint32_t(out.size()), 0), out.size());
        return out;
    };
    const auto expectedPeaks = peaksOf();
    const auto expectedSamples = interleaved();
    const auto expectedColumns = columns();
    ASSERT_GT(expectedPeaks[0], 0.5);

    std::atomic<int> mismatches{0};
    auto repeat = [&](auto read, const auto& expected) {
        return std::thread([&mismatches, read, &expected] {
            for (int round = 0; round < 4; ++round)
                mismatches += read() != expected;
        });
    };
    std::thread readers[] = {repeat(peaksOf, expectedPeaks), repeat(interleaved, expectedSamples),
                             repeat(columns, expectedColumns), repeat(copied, expectedSamples)};
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace brindle

// The playback engine over the fake device: which frames sound, where the position ends up, and that
// playing allocates nothing. The device's clock moves only when the test says so: nothing sleeps.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "formats/wav_file.h"
#include "playback/allocation_counter.h"
#include "playback/fake_wave_out.h"
#include "playback/playback_engine.h"
#include "storage/sound_buffer.h"
#include "support/test_support.h"

namespace brindle {
namespace {

constexpr uint32_t kFrames = 300000;  // between two and three stereo blocks, more than one mono block

class PlaybackEngineTest : public test::TempDirTest {
protected:
    // White noise made by sox (a frame out of place shows), loaded as the editor loads it, and its
    // samples as sox writes them raw.
    void Load(int channels)
    {
        const auto wav = PathOf("noise.wav"), raw = PathOf("noise.raw");
        ASSERT_EQ(test::RunCommand("sox -R -r 8000 -c " + std::to_string(channels) + " -n -b 16 " + test::Quoted(wav) +
                                   " synth " + std::to_string(kFrames) + "s whitenoise vol 0.7 && sox " +
                                   test::Quoted(wav) + " -t raw -e signed -b 16 -L " + test::Quoted(raw)),
                  0);
        ASSERT_EQ(LoadWav(sound_, wav, nullptr), 1);
        ASSERT_EQ(sound_.FrameCount(), kFrames);
        const std::vector<unsigned char> bytes = test::ReadFileBytes(raw);
        samples_.resize(bytes.size() / 2);
        for (size_t i = 0; i < samples_.size(); ++i)
            samples_[i] = int16_t(uint16_t(bytes[2 * i] | bytes[2 * i + 1] << 8));
        channels_ = uint32_t(channels);
        engine_.AttachDevice(&device_, &sink_);
        engine_.SetSoundSource([this] { return &sound_.channels; });
    }
    void TearDown() override
    {
        sound_.Clear();
        test::TempDirTest::TearDown();
    }

    // The sound's samples of these frame ranges [from, to), one after the other.
    std::vector<int16_t> Frames(std::initializer_list<std::pair<uint32_t, uint32_t>> ranges) const
    {
        std::vector<int16_t> out;
        for (const auto& [from, to] : ranges)
            out.insert(out.end(), samples_.begin() + from * channels_, samples_.begin() + to * channels_);
        return out;
    }
    void Deliver() { sink_.DeliverAll(engine_); }
    // Advances the device's clock by frames, a step at a time, answering every notification.
    void Run(uint32_t frames)
    {
        Deliver();
        for (uint32_t done = 0, played = 1; done < frames && played != 0; done += played) {
            played = device_.Advance(std::min(9973u, frames - done));
            Deliver();
        }
    }
    void RunToEnd()
    {
        for (int i = 0; i < 1000 && (engine_.isOpen || !sink_.Empty() || device_.IsOpen()); ++i)
            Run(9973);
        ASSERT_FALSE(engine_.isOpen);
        ASSERT_FALSE(device_.IsOpen());
    }
    void Select(int32_t start, int32_t end)
    {
        engine_.SetSelectionStart(start, kFrames);
        engine_.SetSelectionEnd(end, kFrames);
    }

    SoundBuffer sound_;
    std::vector<int16_t> samples_;
    uint32_t channels_ = 0;
    FakeWaveOut device_{4 * size_t(kFrames) * 2};
    QueuedEventSink sink_;
    PlaybackEngine engine_;
};

class WholeFileTest : public PlaybackEngineTest, public ::testing::WithParamInterface<int> {};

TEST_P(WholeFileTest, PlaysFromThePositionToTheEndInFullBlocksAndReturnsToZero)
{
    Load(GetParam());
    engine_.SetPosition(1000);
    ASSERT_EQ(engine_.Play(), 1);
    Deliver();
    ASSERT_TRUE(engine_.isOpen && !engine_.isPaused);
    EXPECT_EQ(device_.format.channels, GetParam());
    EXPECT_EQ(device_.format.sampleRate, 8000u);
    // A block is always 262,144 samples: half as many frames in stereo as in mono.
    ASSERT_EQ(device_.writtenBytes.size(), 2u);
    EXPECT_EQ(device_.writtenBytes[0], PlaybackEngine::kBlockSamples * 2);
    Run(12345);
    EXPECT_EQ(engine_.GetPosition(), 1000 + 12345);
    RunToEnd();
    EXPECT_EQ(device_.played, Frames({{1000, kFrames}}));
    for (uint32_t bytes : device_.writtenBytes)
        EXPECT_EQ(bytes % (2 * GetParam()), 0u);
    EXPECT_EQ(engine_.GetPosition(), 0);
}

INSTANTIATE_TEST_SUITE_P(MonoAndStereo, WholeFileTest, ::testing::Values(1, 2));

TEST_F(PlaybackEngineTest, SelectionPlaysToExactlyItsEndAndReturnsWhereTheRunBegan)
{
    Load(2);
    Select(140000, 280000);  // the end falls inside the second block
    engine_.SetPosition(145000);
    ASSERT_EQ(engine_.Play(), 1);
    RunToEnd();
    EXPECT_EQ(device_.played, Frames({{145000, 280000}}));
    EXPECT_EQ(engine_.GetPosition(), 145000);
    // From outside the selection, playing starts at its start.
    device_.played.clear();
    engine_.SetPosition(20);
    ASSERT_EQ(engine_.Play(), 1);
    RunToEnd();
    EXPECT_EQ(device_.played, Frames({{140000, 280000}}));
    EXPECT_EQ(engine_.GetPosition(), 140000);

    // A short selection queues one block; a click while it sounds moves playing there, not ends it.
    device_.played.clear();
    device_.writtenBytes.clear();
    Select(5000, 6000);
    ASSERT_EQ(engine_.Play(), 1);
    Deliver();
    ASSERT_EQ(device_.writtenBytes, std::vector<uint32_t>{1000 * 4});
    EXPECT_TRUE(engine_.endReached);
    Run(100);
    engine_.SetPosition(5600);
    RunToEnd();
    EXPECT_EQ(device_.played, Frames({{5000, 5100}, {5600, 6000}}));
    EXPECT_EQ(engine_.GetPosition(), 5600);
}

// A loop plays the range over and over with nothing between the end and the start, a range far
// shorter than a block and one longer than two alike, and the position wraps with it.
TEST_F(PlaybackEngineTest, ALoopPlaysTheRangeOverAndOverWithoutASeam)
{
    struct Row {
        int32_t start, end, position;  // -1: no selection, the whole sound loops
    };
    Load(2);
    for (const Row row : {Row{140000, 280000, 145000}, Row{5000, 6000, 5500}, Row{-1, -1, 299000}}) {
        SCOPED_TRACE(row.start);
        device_.played.clear();
        engine_.Deselect();
        if (row.start >= 0)
            Select(row.start, row.end);
        const int64_t first = row.start >= 0 ? row.start : 0, end = row.start >= 0 ? row.end : kFrames;
        engine_.loop = true;
        engine_.SetPosition(row.position);
        ASSERT_EQ(engine_.Play(), 1);
        constexpr uint32_t kPlayed = 700000;
        Run(kPlayed);
        EXPECT_EQ(engine_.GetPosition(), first + (row.position + kPlayed - first) % (end - first));
        std::vector<int16_t> expected;
        for (int64_t frame = row.position; expected.size() < size_t(kPlayed) * 2; frame = frame + 1 == end ? first : frame + 1)
            expected.insert(expected.end(), {samples_[frame * 2], samples_[frame * 2 + 1]});
        ASSERT_GE(device_.played.size(), expected.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), device_.played.begin()));
        engine_.Stop();
        engine_.loop = false;
        RunToEnd();
    }
}

TEST_F(PlaybackEngineTest, StopGoesToZeroOrToTheSelectionStartOnceItsEndIsQueued)
{
    Load(2);
    engine_.Play();
    Run(50000);
    ASSERT_EQ(engine_.Stop(), 1);
    RunToEnd();
    EXPECT_EQ(device_.played, Frames({{0, 50000}}));
    EXPECT_EQ(engine_.GetPosition(), 0);
    // Stop while paused: nothing more sounds, and the position goes home too.
    engine_.SetPosition(1000);
    engine_.Play();
    Run(100);
    engine_.Pause();
    EXPECT_EQ(device_.Advance(1000), 0u);
    engine_.Stop();
    RunToEnd();
    EXPECT_EQ(engine_.GetPosition(), 0);
    // A selection whose end block is already queued goes to its start; one whose end is not, to 0.
    for (const auto& [end, home] : {std::pair{6000, 5000}, std::pair{290000, 0}}) {
        Select(5000, end);
        engine_.SetPosition(5500);
        engine_.Play();
        Run(100);
        engine_.Stop();
        RunToEnd();
        EXPECT_EQ(engine_.GetPosition(), home) << end;
    }
}

TEST_F(PlaybackEngineTest, AtTheEndPlayWrapsToZeroAndASeekThereCloses)
{
    Load(1);
    ASSERT_EQ(engine_.StartAt(kFrames), 1) << "nothing to queue: opens and closes at once";
    Deliver();
    EXPECT_EQ(device_.opens, 1);
    EXPECT_FALSE(engine_.isOpen || device_.IsOpen());
    EXPECT_TRUE(device_.writtenBytes.empty());
    EXPECT_EQ(engine_.GetPosition(), 0);
    EXPECT_EQ(engine_.StartAt(kFrames + 1), 0);

    engine_.SetPosition(kFrames);
    ASSERT_EQ(engine_.GetPosition(), int32_t(kFrames));
    engine_.Play();
    Run(777);
    EXPECT_EQ(device_.played, Frames({{0, 777}}));
    engine_.SetPosition(kFrames);
    Deliver();
    EXPECT_FALSE(engine_.isOpen || device_.IsOpen());
    EXPECT_EQ(engine_.GetPosition(), 0);
    EXPECT_EQ(device_.played, Frames({{0, 777}}));
}

TEST_F(PlaybackEngineTest, SeekWhilePausedStaysPausedThenPlayResumesFromTheNewFrame)
{
    Load(2);
    engine_.Play();
    Run(3000);
    ASSERT_EQ(engine_.Pause(), 1);
    engine_.SetPosition(200000);
    Deliver();
    EXPECT_TRUE(engine_.isOpen && engine_.isPaused && device_.IsPaused());
    EXPECT_EQ(device_.Advance(5000), 0u);
    EXPECT_EQ(engine_.GetPosition(), 200000);
    ASSERT_EQ(engine_.Play(), 1);
    RunToEnd();
    EXPECT_EQ(device_.played, Frames({{0, 3000}, {200000, kFrames}}));
}

TEST_F(PlaybackEngineTest, CursorPeriodIsOnePixelOfTravelButNeverBelow50Ms)
{
    Load(2);  // 37.5 s
    int width = 100, stops = 0;
    std::vector<int> periods;
    engine_.SetHooks({[&] { return width; }, [&](int period) { periods.push_back(period); }, [&] { ++stops; }, {}});
    engine_.Play();
    Deliver();
    width = 1000;
    engine_.RestartCursorTimer();
    width = 0;
    engine_.RestartCursorTimer();
    EXPECT_EQ(periods, (std::vector<int>{375, 50}));
    EXPECT_TRUE(engine_.IsCursorTimerActive());
    engine_.Stop();
    RunToEnd();
    EXPECT_EQ(stops, 1);
    EXPECT_FALSE(engine_.IsCursorTimerActive());
}

TEST_F(PlaybackEngineTest, PlayingAllocatesNothing)
{
    Load(2);
    // The first read on a thread sizes storage's scratch buffer for good; play once to get past it.
    engine_.Play();
    RunToEnd();
    device_.played.clear();
    test::AllocationCounter counter;
    engine_.SetPosition(100);
    engine_.Play();
    Run(20000);
    engine_.Pause();
    engine_.SetPosition(150000);
    Deliver();
    engine_.Play();
    Run(20000);
    engine_.SeekFraction(0.5);
    RunToEnd();
    EXPECT_EQ(counter.Count(), 0);
    EXPECT_EQ(device_.played.size(), size_t(20000 + 20000 + (kFrames - kFrames / 2)) * 2);
}

}  // namespace
}  // namespace brindle

// The ALSA device, without a sound card: alsa-lib's own "file" PCM (over its "null" PCM) captures the
// bytes the device writes, and a card of our own (paced_pcm_plugin.cpp) consumes them in real time,
// with or without a pause of its own, and can run dry or vanish on request. Both come from a
// configuration written for the test alone. The machine's real default device is tried last and the
// test skips when there is none.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "formats/wav_file.h"
#include "playback/alsa_wave_out.h"
#include "playback/playback_engine.h"
#include "storage/sound_buffer.h"
#include "playback/paced_card.h"
#include "playback/waiting_sink.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::WaitingSink;

// Whatever goes to stderr while it lives is kept apart, to be read afterwards.
class StderrCapture {
public:
    explicit StderrCapture(const std::filesystem::path& path) : path_(path)
    {
        fflush(stderr);
        saved_ = dup(2);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() { Restore(); }
    std::string Text()
    {
        Restore();
        std::ifstream in(path_);
        return {std::istreambuf_iterator<char>(in), {}};
    }

private:
    void Restore()
    {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    std::filesystem::path path_;
    int saved_ = -1;
};

// An engine playing sound through an ALSA device. The sink outlives the device's thread.
struct AlsaPlayer {
    AlsaPlayer(const std::string& deviceName, SoundBuffer& sound, bool useDevicePause = true)
        : device(AlsaWaveOut::Options{deviceName, useDevicePause})
    {
        engine.AttachDevice(&device, &sink);
        engine.SetSoundSource([&sound] { return &sound.channels; });
    }
    WaitingSink sink;
    AlsaWaveOut device;
    PlaybackEngine engine;
};

class AlsaWaveOutTest : public test::TempDirTest {
protected:
    void SetUp() override
    {
        test::TempDirTest::SetUp();
        const char* old = std::getenv("ALSA_CONFIG_PATH");
        hadConfigPath_ = old != nullptr;
        oldConfigPath_ = old ? old : "";
    }
    void TearDown() override
    {
        if (hadConfigPath_)
            setenv("ALSA_CONFIG_PATH", oldConfigPath_.c_str(), 1);
        else
            unsetenv("ALSA_CONFIG_PATH");
        sound_.Clear();
        test::TempDirTest::TearDown();
    }

    // A configuration of the test's own: no "default" at all, and "capture", which writes every byte
    // it is given to capture.raw.
    void UseCaptureConfiguration()
    {
        const auto config = PathOf("asound.conf");
        std::ofstream(config) << "pcm.capture {\n  type file\n  slave.pcm { type null }\n  file \""
                              << PathOf("capture.raw").string() << "\"\n  format \"raw\"\n}\n";
        setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    }

    // "paced" can pause, "paced_nopause" cannot; both record what they consume.
    void UsePacedCardConfiguration()
    {
        ASSERT_TRUE(card_.Loaded()) << dlerror();
        card_.Reset();
        card_.UseConfiguration(PathOf("asound.conf"));
    }

    void LoadNoise(uint32_t frames)
    {
        const auto wav = PathOf("noise.wav");
        ASSERT_EQ(test::RunCommand("sox -R -r 44100 -c 2 -n -b 16 " + test::Quoted(wav) + " synth " +
                                   std::to_string(frames) + "s whitenoise vol 0.7"),
                  0);
        ASSERT_EQ(test::RunCommand("sox " + test::Quoted(wav) + " -t raw -e signed -b 16 -L " +
                                   test::Quoted(PathOf("noise.raw"))),
                  0);
        ASSERT_EQ(LoadWav(sound_, wav, nullptr), 1);
    }

    // Plays the whole sound through device; pauseAfterFirstBlock pauses and resumes once on the way.
    void PlayThrough(AlsaWaveOut& device, bool pauseOnTheWay)
    {
        PlaybackEngine engine;
        WaitingSink sink;
        engine.AttachDevice(&device, &sink);
        engine.SetSoundSource([this] { return &sound_.channels; });
        ASSERT_EQ(engine.Play(), 1);
        bool paused = false;
        for (;;) {
            WaveOutEvent event;
            ASSERT_TRUE(sink.Next(event)) << "the device stopped answering";
            engine.HandleDeviceEvent(event);
            if (event.kind == WaveOutEventKind::Closed)
                break;
            if (pauseOnTheWay && !paused && event.kind == WaveOutEventKind::BlockDone) {
                ASSERT_EQ(engine.Pause(), 1);
                uint32_t frames = 0;
                EXPECT_EQ(device.GetPosition(frames), 1);
                ASSERT_EQ(engine.Play(), 1);
                paused = true;
            }
        }
        EXPECT_FALSE(engine.isOpen);
        EXPECT_EQ(engine.GetPosition(), 0);
    }

    SoundBuffer sound_;
    test::PacedCard card_;

private:
    bool hadConfigPath_ = false;
    std::string oldConfigPath_;
};

TEST_F(AlsaWaveOutTest, NoDeviceFailsToOpenWithoutAWord)
{
    UseCaptureConfiguration();
    LoadNoise(1000);
    AlsaPlayer player("default", sound_);
    auto& [sink, device, engine] = player;

    StderrCapture capture(PathOf("stderr.txt"));
    EXPECT_EQ(engine.Play(), 0);
    AlsaWaveOut card(AlsaWaveOut::Options{"hw:31", true});
    engine.AttachDevice(&card, &sink);
    EXPECT_EQ(engine.Play(), 0);
    EXPECT_EQ(capture.Text(), "");
    EXPECT_FALSE(engine.isOpen);
}

TEST_F(AlsaWaveOutTest, BytesReachingTheDeviceAreTheSoundsSamples)
{
    UseCaptureConfiguration();
    LoadNoise(300000);
    for (bool devicePause : {true, false}) {
        SCOPED_TRACE(devicePause ? "the device's own pause" : "pause by dropping");
        std::filesystem::remove(PathOf("capture.raw"));
        {
            AlsaWaveOut device(AlsaWaveOut::Options{"capture", devicePause});
            PlayThrough(device, true);
        }
        EXPECT_EQ(test::ReadFileBytes(PathOf("capture.raw")), test::ReadFileBytes(PathOf("noise.raw")));
    }
}

// 50 ms of sound at 44.1 kHz.
constexpr int64_t kPositionTolerance = 2205;

// recording is sound (16-bit stereo) with at most one stretch of up to kPositionTolerance frames
// played a second time right after itself, and nothing missing.
void ExpectSoundWithOneShortRepeat(const std::vector<unsigned char>& recording,
                                   const std::vector<unsigned char>& sound)
{
    constexpr size_t kFrameBytes = 4;
    ASSERT_GE(recording.size(), sound.size());
    ASSERT_EQ(recording.size() % kFrameBytes, 0u);
    const size_t repeated = recording.size() - sound.size();
    EXPECT_LE(repeated / kFrameBytes, size_t(kPositionTolerance));
    const size_t split = size_t(std::mismatch(sound.begin(), sound.end(), recording.begin()).first - sound.begin()) /
                         kFrameBytes * kFrameBytes;
    // The recording carries on from split - repeated: the frames before split, again.
    ASSERT_GE(split, repeated) << "the recording begins with frames the sound does not have";
    EXPECT_TRUE(std::equal(recording.begin() + std::ptrdiff_t(split), recording.end(),
                           sound.begin() + std::ptrdiff_t(split - repeated)))
        << "after the first " << split / kFrameBytes << " frames, the recording is not the sound going on";
}

// Hands the device's notifications to the engine until "closed"; between them, about every 20 ms,
// calls idle. False when the device stopped answering for 30 s.
template <class Idle>
bool RunUntilClosed(PlaybackEngine& engine, WaitingSink& sink, Idle&& idle)
{
    auto silentSince = std::chrono::steady_clock::now();
    for (;;) {
        WaveOutEvent event;
        if (sink.Next(event, std::chrono::milliseconds(20))) {
            engine.HandleDeviceEvent(event);
            if (event.kind == WaveOutEventKind::Closed)
                return true;
            silentSince = std::chrono::steady_clock::now();
            continue;
        }
        if (std::chrono::steady_clock::now() - silentSince > std::chrono::seconds(30))
            return false;
        idle();
    }
}

TEST_F(AlsaWaveOutTest, PositionFollowsWhatTheCardHasPlayed)
{
    ASSERT_NO_FATAL_FAILURE(UsePacedCardConfiguration());
    LoadNoise(150000);  // two blocks, 3.4 s
    for (const char* name : {"paced", "paced_nopause"}) {
        SCOPED_TRACE(name);
        card_.Reset();
        AlsaPlayer player(name, sound_);
        auto& [sink, device, engine] = player;
        ASSERT_EQ(engine.Play(), 1);
        int64_t worst = 0;
        int looks = 0;
        bool paused = false;
        ASSERT_TRUE(RunUntilClosed(engine, sink, [&] {
            // Between two looks at the card, the engine's answer must lie within 50 ms of them.
            const int64_t before = int64_t(card_.PlayedFrames());
            const int64_t position = engine.GetPosition();
            const int64_t after = int64_t(card_.PlayedFrames());
            worst = std::max({worst, before - position, position - after});
            ++looks;
            if (!paused && position > 44100) {
                ASSERT_EQ(engine.Pause(), 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                // Held: nothing more sounds, and the position names the frame the card stopped at.
                const int64_t heldAt = int64_t(card_.PlayedFrames());
                EXPECT_LE(std::abs(engine.GetPosition() - heldAt), kPositionTolerance);
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                EXPECT_EQ(int64_t(card_.PlayedFrames()), heldAt) << "the card went on playing while paused";
                ASSERT_EQ(engine.Play(), 1);
                paused = true;
            }
        })) << "the device stopped answering";
        EXPECT_TRUE(paused);
        EXPECT_GT(looks, 50);
        EXPECT_LE(worst, kPositionTolerance);
        EXPECT_EQ(engine.GetPosition(), 0);
        const auto recording = card_.Recording();
        const auto sound = test::ReadFileBytes(PathOf("noise.raw"));
        if (std::string(name) == "paced") {
            // A card that pauses holds its place: every frame sounds once and in order.
            EXPECT_EQ(recording, sound);
        } else {
            // A card that cannot pause goes on sounding between the look at its delay and the drop, so
            // the resume may repeat those frames; it must never skip one, nor repeat more than 50 ms.
            ExpectSoundWithOneShortRepeat(recording, sound);
        }
    }
}

TEST_F(AlsaWaveOutTest, UnderrunRecoversAndPlayingGoesOn)
{
    ASSERT_NO_FATAL_FAILURE(UsePacedCardConfiguration());
    LoadNoise(30000);
    AlsaPlayer player("paced", sound_);
    auto& [sink, device, engine] = player;
    ASSERT_EQ(engine.Play(), 1);
    bool ranDry = false;
    ASSERT_TRUE(RunUntilClosed(engine, sink, [&] {
        if (!ranDry && card_.PlayedFrames() > 4410) {
            card_.RunDry();
            ranDry = true;
        }
    })) << "the device stopped answering after an underrun";
    ASSERT_TRUE(ranDry);
    // The forced one and the one at the end, when nothing more comes.
    EXPECT_GE(card_.Underruns(), 2u);
    EXPECT_EQ(card_.Recording(), test::ReadFileBytes(PathOf("noise.raw")));
}

TEST_F(AlsaWaveOutTest, VanishingCardEndsPlaybackCleanly)
{
    ASSERT_NO_FATAL_FAILURE(UsePacedCardConfiguration());
    LoadNoise(150000);
    for (const char* name : {"paced", "paced_nopause"}) {
        for (bool whilePaused : {false, true}) {
            SCOPED_TRACE(std::string(name) + (whilePaused ? ", pulled while paused" : ", pulled while playing"));
            card_.Reset();
            AlsaPlayer player(name, sound_);
            auto& [sink, device, engine] = player;
            ASSERT_EQ(engine.Play(), 1);
            bool pulled = false;
            ASSERT_TRUE(RunUntilClosed(engine, sink, [&] {
                if (pulled || card_.PlayedFrames() < 4410)
                    return;
                if (whilePaused) {
                    ASSERT_EQ(engine.Pause(), 1);
                }
                card_.Disconnect();
                if (whilePaused) {
                    ASSERT_EQ(engine.Play(), 1);
                }
                pulled = true;
            })) << "the device hung after the card vanished";
            ASSERT_TRUE(pulled);
            EXPECT_FALSE(engine.isOpen);
            EXPECT_LT(card_.PlayedFrames(), 150000u);
            // The next card plays.
            card_.Reset();
            ASSERT_EQ(engine.Play(), 1);
            bool stopped = false;
            ASSERT_TRUE(RunUntilClosed(engine, sink, [&] {
                if (!stopped && card_.PlayedFrames() > 4410) {
                    ASSERT_EQ(engine.Stop(), 1);
                    stopped = true;
                }
            }));
            EXPECT_TRUE(stopped);
        }
    }
}

TEST_F(AlsaWaveOutTest, DefaultDevicePlaysWhereThereIsOne)
{
    LoadNoise(44100 / 4);
    AlsaWaveOut device;
    PlaybackEngine engine;
    WaitingSink sink;
    engine.AttachDevice(&device, &sink);
    engine.SetSoundSource([this] { return &sound_.channels; });
    if (!engine.Play())
        GTEST_SKIP() << "no ALSA playback device could be opened as \"" << device.DeviceName()
                     << "\" (no sound card here); the file-device tests cover the output";
    for (;;) {
        WaveOutEvent event;
        ASSERT_TRUE(sink.Next(event)) << "the device stopped answering";
        engine.HandleDeviceEvent(event);
        if (event.kind == WaveOutEventKind::Closed)
            break;
    }
    EXPECT_FALSE(engine.isOpen);
}

}  // namespace
}  // namespace brindle

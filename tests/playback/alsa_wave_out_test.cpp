// The ALSA device without a sound card: alsa-lib's own "file" PCM (over its "null" PCM) captures the
// bytes the device writes, and a card of our own (paced_pcm_plugin.cpp) consumes them in real time,
// with or without a pause of its own, and runs dry or vanishes on request. Both come from a
// configuration written for the test alone, never the machine's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "formats/wav_file.h"
#include "playback/alsa_wave_out.h"
#include "playback/paced_card.h"
#include "playback/playback_engine.h"
#include "playback/waiting_sink.h"
#include "storage/sound_buffer.h"
#include "support/test_support.h"

namespace brindle {
namespace {

// An engine playing sound through an ALSA device. The sink outlives the device's thread.
struct AlsaPlayer {
    AlsaPlayer(const std::string& deviceName, SoundBuffer& sound, bool useDevicePause = true)
        : device(AlsaWaveOut::Options{deviceName, useDevicePause})
    {
        engine.AttachDevice(&device, &sink);
        engine.SetSoundSource([&sound] { return &sound.channels; });
    }
    test::WaitingSink sink;
    AlsaWaveOut device;
    PlaybackEngine engine;
};

// Hands the device's notifications to the engine until "closed"; between them, about every 20 ms,
// calls idle. False when the device stopped answering for 30 s.
template <class Idle>
bool RunUntilClosed(AlsaPlayer& player, Idle&& idle)
{
    auto silentSince = std::chrono::steady_clock::now();
    for (;;) {
        WaveOutEvent event;
        if (player.sink.Next(event, std::chrono::milliseconds(20))) {
            player.engine.HandleDeviceEvent(event);
            if (event.kind == WaveOutEventKind::Closed)
                return true;
            silentSince = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - silentSince > std::chrono::seconds(30)) {
            return false;
        } else {
            idle();
        }
    }
}

class AlsaWaveOutTest : public test::TempDirTest {
protected:
    void TearDown() override
    {
        if (oldConfigPath_)
            setenv("ALSA_CONFIG_PATH", oldConfigPath_->c_str(), 1);
        else
            unsetenv("ALSA_CONFIG_PATH");
        sound_.Clear();
        test::TempDirTest::TearDown();
    }
    // No "default" at all, and "capture", which writes every byte it is given to capture.raw.
    void UseCaptureConfiguration()
    {
        std::ofstream(PathOf("asound.conf")) << "pcm.capture { type file slave.pcm { type null } file \""
                                             << PathOf("capture.raw").string() << "\" format \"raw\" }\n";
        setenv("ALSA_CONFIG_PATH", PathOf("asound.conf").c_str(), 1);
    }
    void UsePacedCardConfiguration()
    {
        ASSERT_TRUE(card_.Loaded()) << dlerror();
        card_.Reset();
        card_.UseConfiguration(PathOf("asound.conf"));
    }
    // White noise made by sox, loaded, and its samples raw in noise.raw.
    void LoadNoise(uint32_t frames, uint32_t rate = 44100)
    {
        const auto wav = PathOf("noise.wav");
        ASSERT_EQ(test::RunCommand("sox -R -r " + std::to_string(rate) + " -c 2 -n -b 16 " + test::Quoted(wav) +
                                   " synth " + std::to_string(frames) + "s whitenoise vol 0.7 && sox " +
                                   test::Quoted(wav) + " -t raw -e signed -b 16 -L " + test::Quoted(PathOf("noise.raw"))),
                  0);
        ASSERT_EQ(LoadWav(sound_, wav, nullptr), 1);
    }
    std::vector<unsigned char> Noise() const { return test::ReadFileBytes(PathOf("noise.raw")); }

    SoundBuffer sound_;
    test::PacedCard card_;
    // The environment's own, put back afterwards.
    const std::optional<std::string> oldConfigPath_ =
        getenv("ALSA_CONFIG_PATH") ? std::optional<std::string>(getenv("ALSA_CONFIG_PATH")) : std::nullopt;
};

TEST_F(AlsaWaveOutTest, NoDeviceFailsToOpenWithoutAWord)
{
    UseCaptureConfiguration();
    LoadNoise(1000);
    AlsaPlayer player("default", sound_);
    AlsaWaveOut card(AlsaWaveOut::Options{"hw:31", true});
    // alsa-lib's own complaints would go to stderr: keep it apart meanwhile.
    std::fflush(stderr);
    const int saved = dup(2), capture = open(PathOf("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(capture, 2);
    const int first = player.engine.Play();
    player.engine.AttachDevice(&card, &player.sink);
    const int second = player.engine.Play();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(capture);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 0);
    EXPECT_TRUE(test::ReadFileBytes(PathOf("stderr.txt")).empty());
    EXPECT_FALSE(player.engine.isOpen);
}

TEST_F(AlsaWaveOutTest, BytesReachingTheDeviceAreTheSoundsSamplesAcrossAPause)
{
    UseCaptureConfiguration();
    LoadNoise(300000);
    for (bool devicePause : {true, false}) {
        SCOPED_TRACE(devicePause ? "the device's own pause" : "pause by dropping");
        std::filesystem::remove(PathOf("capture.raw"));
        {
            AlsaPlayer player("capture", sound_, devicePause);
            ASSERT_EQ(player.engine.Play(), 1);
            bool paused = false;
            for (WaveOutEvent event; event.kind != WaveOutEventKind::Closed;) {
                ASSERT_TRUE(player.sink.Next(event)) << "the device stopped answering";
                player.engine.HandleDeviceEvent(event);
                if (!paused && event.kind == WaveOutEventKind::BlockDone) {
                    ASSERT_EQ(player.engine.Pause(), 1);
                    uint32_t frames = 0;
                    EXPECT_EQ(player.device.GetPosition(frames), 1);
                    ASSERT_EQ(player.engine.Play(), 1);
                    paused = true;
                }
            }
            EXPECT_TRUE(paused);
            EXPECT_FALSE(player.engine.isOpen);
            EXPECT_EQ(player.engine.GetPosition(), 0);
        }
        EXPECT_EQ(test::ReadFileBytes(PathOf("capture.raw")), Noise());
    }
}

// Within 50 ms of sound; at 96 kHz, so that two blocks take 2 s.
TEST_F(AlsaWaveOutTest, PositionFollowsWhatTheCardHasPlayed)
{
    constexpr int64_t kRate = 96000, kTolerance = kRate / 20, kBlock = PlaybackEngine::kBlockSamples / 2;
    ASSERT_NO_FATAL_FAILURE(UsePacedCardConfiguration());
    LoadNoise(uint32_t(kBlock + kRate * 6 / 10), kRate);  // a second block of 0.6 s, queued on the way
    for (const std::string name : {"paced", "paced_nopause"}) {
        SCOPED_TRACE(name);
        card_.Reset();
        AlsaPlayer player(name, sound_);
        auto& engine = player.engine;
        ASSERT_EQ(engine.Play(), 1);
        int64_t worst = 0;
        int looks = 0, handedOver = 0;
        bool paused = false;
        ASSERT_TRUE(RunUntilClosed(player, [&] {
            // Between two looks at the card, the engine's answer must lie within the tolerance of them.
            const int64_t before = int64_t(card_.PlayedFrames());
            const int64_t position = engine.GetPosition();
            const int64_t after = int64_t(card_.PlayedFrames());
            worst = std::max({worst, before - position, position - after});
            ++looks, handedOver += position > kBlock;
            if (!paused && position > kRate / 4) {
                ASSERT_EQ(engine.Pause(), 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                // Held: nothing more sounds, and the position names the frame the card stopped at.
                const int64_t heldAt = int64_t(card_.PlayedFrames());
                EXPECT_LE(std::abs(engine.GetPosition() - heldAt), kTolerance);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                EXPECT_EQ(int64_t(card_.PlayedFrames()), heldAt) << "the card went on playing while paused";
                ASSERT_EQ(engine.Play(), 1);
                paused = true;
            }
        })) << "the device stopped answering";
        EXPECT_TRUE(paused);
        EXPECT_GT(looks, 50);
        EXPECT_GE(handedOver, 20) << "looks after the handover to the second block";
        EXPECT_LE(worst, kTolerance);
        EXPECT_EQ(engine.GetPosition(), 0);
        const auto recording = card_.Recording(), sound = Noise();
        if (name == "paced") {
            EXPECT_EQ(recording, sound) << "a card that pauses holds its place: every frame sounds once, in order";
            continue;
        }
        // A card that cannot pause sounds on between the look at its delay and the drop, so the resume
        // may repeat those frames, at most 50 ms of them, right after themselves; it never skips one.
        ASSERT_GE(recording.size(), sound.size());
        ASSERT_EQ(recording.size() % 4, 0u);
        const size_t repeated = recording.size() - sound.size();
        EXPECT_LE(repeated / 4, size_t(kTolerance));
        const size_t split = size_t(std::mismatch(sound.begin(), sound.end(), recording.begin()).first - sound.begin()) / 4 * 4;
        ASSERT_GE(split, repeated) << "the recording begins with frames the sound does not have";
        EXPECT_TRUE(std::equal(recording.begin() + std::ptrdiff_t(split), recording.end(),
                               sound.begin() + std::ptrdiff_t(split - repeated)))
            << "after the first " << split / 4 << " frames, the recording is not the sound going on";
    }
}

TEST_F(AlsaWaveOutTest, UnderrunRecoversAndPlayingGoesOn)
{
    ASSERT_NO_FATAL_FAILURE(UsePacedCardConfiguration());
    LoadNoise(20000);
    AlsaPlayer player("paced", sound_);
    ASSERT_EQ(player.engine.Play(), 1);
    bool ranDry = false;
    ASSERT_TRUE(RunUntilClosed(player, [&] {
        if (!ranDry && card_.PlayedFrames() > 4410) {
            card_.RunDry();
            ranDry = true;
        }
    })) << "the device stopped answering after an underrun";
    ASSERT_TRUE(ranDry);
    EXPECT_GE(card_.Underruns(), 2u) << "the forced one and the one at the end, when nothing more comes";
    EXPECT_EQ(card_.Recording(), Noise());
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
            auto& engine = player.engine;
            ASSERT_EQ(engine.Play(), 1);
            bool pulled = false;
            ASSERT_TRUE(RunUntilClosed(player, [&] {
                if (pulled || card_.PlayedFrames() < 4410)
                    return;
                ASSERT_TRUE(!whilePaused || engine.Pause() == 1);
                card_.Disconnect();
                ASSERT_TRUE(!whilePaused || engine.Play() == 1);
                pulled = true;
            })) << "the device hung after the card vanished";
            ASSERT_TRUE(pulled);
            EXPECT_FALSE(engine.isOpen);
            EXPECT_LT(card_.PlayedFrames(), 150000u);
            // The next card plays.
            card_.Reset();
            ASSERT_EQ(engine.Play(), 1);
            bool stopped = false;
            ASSERT_TRUE(RunUntilClosed(player, [&] {
                if (!stopped && card_.PlayedFrames() > 4410) {
                    ASSERT_EQ(engine.Stop(), 1);
                    stopped = true;
                }
            }));
            EXPECT_TRUE(stopped);
        }
    }
}

}  // namespace
}  // namespace brindle

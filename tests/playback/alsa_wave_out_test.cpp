// The ALSA device, without a sound card: alsa-lib's own "file" PCM (over its "null" PCM) captures the
// bytes the device writes, from a configuration written for the test alone. The machine's real
// default device is tried last and the test skips when there is none.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "formats/wav_file.h"
#include "playback/alsa_wave_out.h"
#include "playback/playback_engine.h"
#include "storage/sound_buffer.h"
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

private:
    bool hadConfigPath_ = false;
    std::string oldConfigPath_;
};

TEST_F(AlsaWaveOutTest, NoDeviceFailsToOpenWithoutAWord)
{
    UseCaptureConfiguration();
    LoadNoise(1000);
    AlsaWaveOut device(AlsaWaveOut::Options{"default", true});
    PlaybackEngine engine;
    WaitingSink sink;
    engine.AttachDevice(&device, &sink);
    engine.SetSoundSource([this] { return &sound_.channels; });

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

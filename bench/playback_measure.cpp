// Measures the player on a real ALSA device (not a test: it times things). Plays a WAV file through
// the ALSA device the way the window does, with this thread standing in for the UI thread, and prints
//   - the longest time this thread spent in one engine call (a notification, a position query,
//     pause, play, a seek, stop): how long the UI thread can stall because of playback;
//   - over an uninterrupted stretch after the first seconds, how far the reported position strays from a
//     steady advance at the sample rate (meaningful only on a device that consumes in real time).
//
//   measure_playback FILE.wav [seconds]     (BRINDLE_ALSA_DEVICE picks the PCM)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <vector>

#include "formats/wav_file.h"
#include "playback/alsa_wave_out.h"
#include "playback/playback_engine.h"
#include "playback/waiting_sink.h"
#include "storage/sound_buffer.h"

namespace {

using Clock = std::chrono::steady_clock;

using Sink = brindle::test::WaitingSink;

struct Longest {
    const char* what;
    std::vector<double> times;  // ms, one per call
    template <class Call>
    auto Time(Call&& call)
    {
        const auto start = Clock::now();
        auto result = call();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        return result;
    }
    void Print()
    {
        if (times.empty())
            return;
        std::sort(times.begin(), times.end());
        const auto at = [&](double q) { return times[std::min(times.size() - 1, size_t(q * double(times.size())))]; };
        std::printf("%-16s %6zu calls: median %8.3f ms, 99%% %8.3f ms, longest %8.3f ms\n", what, times.size(), at(0.5),
                    at(0.99), times.back());
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: measure_playback FILE.wav [seconds]\n");
        return 2;
    }
    brindle::SoundBuffer sound;
    auto loadStart = Clock::now();
    if (!brindle::LoadWav(sound, argv[1], nullptr)) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    const double rate = sound.channels.SampleRate();
    std::printf("loaded %u frames (%.1f s) in %.1f s\n", sound.FrameCount(), sound.FrameCount() / rate,
                std::chrono::duration<double>(Clock::now() - loadStart).count());
    const double seconds = argc > 2 ? std::atof(argv[2]) : sound.FrameCount() / rate;

    brindle::AlsaWaveOut device;
    Sink sink;
    brindle::PlaybackEngine engine;
    engine.AttachDevice(&device, &sink);
    engine.SetSoundSource([&] { return &sound.channels; });

    Longest notification{"notification", {}}, position{"position query", {}}, command{"pause/play/seek", {}},
        stop{"stop", {}},
        open{"open", {}};
    if (!open.Time([&] { return engine.Play(); })) {
        std::fprintf(stderr, "cannot open ALSA device \"%s\"\n", device.DeviceName().c_str());
        return 1;
    }

    // Position against time over the first stretch (no pause, no seek): residuals of a fit with
    // slope 1 (position in seconds = elapsed - offset); the offset is the median.
    std::vector<std::pair<double, double>> samples;  // (elapsed s, position s)
    // A sound server may take a few seconds to settle into its rhythm; the stretch begins after that.
    const double settle = std::min(5.0, seconds / 4);
    const double steadyStretch = std::min(settle + 10.0, seconds / 2);
    Clock::time_point begun{};
    bool stopping = false;
    double nextCommand = steadyStretch + 1.0;
    unsigned seed = 12345;
    for (;;) {
        brindle::WaveOutEvent event;
        if (sink.Next(event, std::chrono::milliseconds(5))) {
            notification.Time([&] {
                engine.HandleDeviceEvent(event);
                return 0;
            });
            if (notification.times.back() > 20)
                std::printf("slow notification %d (#%zu): %.1f ms\n", int(event.kind), notification.times.size(),
                            notification.times.back());
            if (event.kind == brindle::WaveOutEventKind::Opened)
                begun = Clock::now();
            if (event.kind == brindle::WaveOutEventKind::Closed)
                break;
        }
        if (!engine.isOpen)
            continue;
        const int32_t frame = position.Time([&] { return engine.GetPosition(); });
        const double elapsed = std::chrono::duration<double>(Clock::now() - begun).count();
        if (elapsed >= settle && elapsed < steadyStretch && frame > 0)
            samples.emplace_back(elapsed, frame / rate);
        if (!stopping && elapsed >= seconds) {
            stopping = true;
            stop.Time([&] { return engine.Stop(); });
        } else if (!stopping && elapsed >= nextCommand) {
            // Pause and go on, then jump somewhere else, as a user clicking around would.
            command.Time([&] { return engine.Pause(); });
            command.Time([&] { return engine.Play(); });
            seed = seed * 1103515245u + 12345u;
            command.Time([&] { return engine.SetPosition(int64_t(seed % sound.FrameCount())); });
            nextCommand += 2.0;
        }
    }

    std::printf("device \"%s\"\n", device.DeviceName().c_str());
    for (Longest* longest : {&open, &notification, &position, &command, &stop})
        longest->Print();
    if (samples.size() > 10) {
        std::vector<double> offsets;
        for (const auto& [t, p] : samples)
            offsets.push_back(t - p);
        std::vector<double> sorted = offsets;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double median = sorted[sorted.size() / 2];
        double worst = 0;
        for (double offset : offsets)
            worst = std::max(worst, std::fabs(offset - median));
        // Slope: position gained over time passed, from the first to the last sample.
        const double slope = (samples.back().second - samples.front().second) / (samples.back().first - samples.front().first);
        for (size_t i = 0; i < samples.size(); i += samples.size() / 10)
            std::printf("  at %6.3f s: position %6.3f s\n", samples[i].first, samples[i].second);
        std::printf("position from %.1f s to %.1f s: %zu samples, offset %.1f ms, largest deviation %.1f ms, "
                    "rate ratio %.5f\n",
                    settle, steadyStretch, samples.size(), median * 1000, worst * 1000, slope);
    }
    sound.Clear();
    return 0;
}

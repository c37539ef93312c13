// The edit kernels, writing their results (as past the gains a piece carries), over an hour of 44.1
// kHz stereo (158,760,000 frames, 1.27 GB of floats in two temporary files), each beside a plain
// read-modify-write pass over the same number of floats; and a read pass through chains of gains.
//
// The plain pass ("PlainPass/1MiB") runs the change-volume arithmetic (double product, single-
// precision 0.01, clamp, nearest float) over one 1 MiB chunk of floats (a block's worth) that is
// reused for the whole count, so it measures the arithmetic and nothing of page faults or memory
// bandwidth. "PlainPass/64MiB" is the same over a 64 MiB chunk, which no cache holds: the cost of
// streaming the floats through main memory. "PlainPassFade" does the fade-out arithmetic (one double
// division per sample) over the 1 MiB chunk, the fair reference for the fades. Kernels are measured on the same sound, one after
// another; untimed steps between iterations put the level back so that every iteration does the same
// work.
//
// Temporary files go to a private folder under /var/tmp whatever $TMPDIR says (a tmpfs /tmp would
// hold 1.3 GB in RAM). They are deleted when the sound is destroyed before the program exits; the
// folder is removed then, and also when the run is interrupted or aborts.
#include <benchmark/benchmark.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "edit/column_peaks.h"
#include "edit/edit_kernels.h"
#include "edit/sound_edits.h"
#include "storage/sound_buffer.h"

namespace {

using brindle::kBlockSamples;
using brindle::SoundBuffer;

constexpr uint32_t kHourFrames = 44100u * 3600u;  // 158,760,000
constexpr double kHourFloats = double(kHourFrames) * 2;

std::unique_ptr<SoundBuffer> gSound;

// Pseudo-random samples within +-0.5: no clipping at 200 %, no denormals, no branch pattern to learn.
void Fill(brindle::ChannelStore& store, uint32_t seed)
{
    std::vector<float> samples(kBlockSamples);
    for (uint32_t b = 0; b < store.BlockCount(); ++b) {
        for (uint32_t k = 0; k < store.SamplesInBlock(b); ++k) {
            seed = seed * 1664525u + 1013904223u;
            samples[k] = float(int32_t(seed >> 8) - (1 << 23)) * (0.5f / float(1 << 23));
        }
        store.WriteSamples(b * kBlockSamples, samples.data(), store.SamplesInBlock(b));
    }
}

// The shared hour-long stereo sound, made on first use.
SoundBuffer* Sound(benchmark::State& state)
{
    if (!gSound) {
        gSound = std::make_unique<SoundBuffer>();
        if (!gSound->CreateSilent(true, kHourFrames, 44100)) {
            gSound.reset();
            state.SkipWithError("CreateSilent of an hour failed (disk space in /var/tmp?)");
            return nullptr;
        }
        Fill(gSound->channels.Channel(0), 1);
        Fill(gSound->channels.Channel(1), 2);
    }
    if (gSound->IsMono() && !ToStereo(*gSound)) {
        state.SkipWithError("ToStereo failed");
        return nullptr;
    }
    return gSound.get();
}

void Done(benchmark::State& state, double floats)
{
    state.SetBytesProcessed(int64_t(floats * 4 * double(state.iterations())));
}

void Check(benchmark::State& state, int result, const char* what)
{
    if (!result)
        state.SkipWithError(what);
}

void BM_PlainPass(benchmark::State& state)
{
    const size_t chunk = size_t(state.range(0)) * 1024 * 1024 / sizeof(float);
    std::vector<float> samples(chunk);
    for (size_t k = 0; k < chunk; ++k)
        samples[k] = float(int(k % 2001) - 1000) * 0.0005f;
    const size_t total = size_t(kHourFloats);
    int32_t percent = 50;
    for (auto _ : state) {
        const double p = percent;
        for (size_t done = 0; done < total; done += chunk) {
            const size_t n = std::min(chunk, total - done);
            float* x = samples.data();
            for (size_t k = 0; k < n; ++k)
                x[k] = brindle::StoreSample(p * double(x[k]) * double(0.01f));
            benchmark::ClobberMemory();
        }
        percent = percent == 50 ? 200 : 50;
    }
    Done(state, kHourFloats);
}

// The fade-out arithmetic (a division per sample) over the same 1 MiB chunk: the reference for the
// fades, whose arithmetic costs more than the volume change's.
void BM_PlainPassFade(benchmark::State& state)
{
    const size_t chunk = kBlockSamples;
    std::vector<float> samples(chunk);
    for (size_t k = 0; k < chunk; ++k)
        samples[k] = float(int(k % 2001) - 1000) * 0.0005f;
    const size_t total = size_t(kHourFloats);
    const double last = double(kHourFrames - 1);
    for (auto _ : state) {
        for (size_t done = 0; done < total; done += chunk) {
            const int32_t n = int32_t(std::min(chunk, total - done));
            const double base = double(done % kHourFrames);
            float* x = samples.data();
            for (int32_t j = 0; j < n; ++j)
                x[j] = brindle::StoreSample((1.0 - (base + double(j)) / last) * double(x[j]));
            benchmark::ClobberMemory();
        }
    }
    Done(state, kHourFloats);
}

void BM_ChangeVolume(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    int32_t percent = 50;
    for (auto _ : state) {
        Check(state, ChangeVolume(*sound, -1, -1, percent), "ChangeVolume failed");
        percent = percent == 50 ? 200 : 50;
    }
    Done(state, kHourFloats);
}

// Read-only: the peak search that IncreaseVolume runs before it scales.
void BM_PeakInRange(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    for (auto _ : state) {
        benchmark::DoNotOptimize(brindle::PeakInRange(sound->channels.Channel(0), -1, -1));
        benchmark::DoNotOptimize(brindle::PeakInRange(sound->channels.Channel(1), -1, -1));
    }
    Done(state, kHourFloats);
}

// Reads every float of the sound once per iteration, block by block with pread as the peak pass
// does, touching each value (a sum nobody needs).
void ReadEveryBlock(benchmark::State& state, const SoundBuffer& sound)
{
    std::vector<float> block(kBlockSamples);
    for (auto _ : state) {
        float sum = 0.0f;
        for (int c = 0; c < 2; ++c) {
            const brindle::ChannelStore& store = sound.channels.Channel(c);
            for (uint32_t b = 0; b < store.BlockCount(); ++b) {
                const uint32_t n = store.SamplesInBlock(b);
                Check(state, store.ReadSamples(b * kBlockSamples, block.data(), n), "read failed");
                for (uint32_t k = 0; k < n; ++k)
                    sum += block[k];
            }
        }
        benchmark::DoNotOptimize(sum);
    }
}

// What the waveform's peak pass must at least do: read every float of the hour once, block by block
// with pread as the peak pass does, touching each value (a sum nobody needs).
void BM_ReadPass(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    ReadEveryBlock(state, *sound);
    Done(state, kHourFloats);
}

// The read pass through a chain of N gain stages on every piece (fades and volumes in turn, carried by
// the pieces, none written): what the player, the picture and the savers pay for gains.
void BM_ReadThroughGains(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    brindle::SetGainsAsPieces(true);
    SoundBuffer gained;
    Check(state, gained.CopyFrom(*sound), "CopyFrom failed");
    for (int64_t k = 0; k < state.range(0); ++k)
        Check(state, k % 2 ? ChangeVolume(gained, -1, -1, k % 4 == 1 ? 90 : 110) : FadeIn(gained, 1000, kHourFrames - 1000),
              "gain failed");
    ReadEveryBlock(state, gained);
    brindle::SetGainsAsPieces(false);
    Done(state, kHourFloats);
}

// The waveform's peaks of the whole hour at 1,000 columns.
void BM_ColumnPeaks(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    std::array<std::vector<brindle::PeakColumn>, 2> peaks;
    for (auto _ : state)
        Check(state, brindle::ComputeColumnPeaks(sound->channels, 0, kHourFrames, uint32_t(state.range(0)), peaks),
              "ComputeColumnPeaks failed");
    Done(state, kHourFloats);
}

void BM_IncreaseVolume(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    for (auto _ : state) {
        Check(state, IncreaseVolume(*sound, -1, -1), "IncreaseVolume failed");
        state.PauseTiming();
        Check(state, ChangeVolume(*sound, -1, -1, 50), "ChangeVolume failed");
        state.ResumeTiming();
    }
    Done(state, kHourFloats);
}

void BM_FadeIn(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    for (auto _ : state)
        Check(state, FadeIn(*sound, -1, -1), "FadeIn failed");
    Done(state, kHourFloats);
}

void BM_FadeOut(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    for (auto _ : state)
        Check(state, FadeOut(*sound, -1, -1), "FadeOut failed");
    Done(state, kHourFloats);
}

// The mix of two channels that stays within full scale: one pass over both.
void BM_ToMono(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    Check(state, ChangeVolume(*sound, -1, -1, 50), "ChangeVolume failed");
    for (auto _ : state) {
        Check(state, ToMono(*sound), "ToMono failed");
        state.PauseTiming();
        Check(state, ChangeVolume(*sound, -1, -1, 50), "ChangeVolume failed");
        Check(state, ToStereo(*sound), "ToStereo failed");
        state.ResumeTiming();
    }
    Done(state, kHourFloats);
}

// The second pass of a clipping mix, over one channel.
void BM_ScaleDownByPeak(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    brindle::ChannelStore& left = sound->channels.Channel(0);
    for (auto _ : state) {
        Check(state, brindle::ScaleDownByPeak(left, 2.0), "ScaleDownByPeak failed");
        state.PauseTiming();
        Check(state, brindle::ScaleRange(left, -1, -1, 200), "ScaleRange failed");
        state.ResumeTiming();
    }
    Done(state, kHourFloats / 2);
}

// A new temporary file holding a copy of the left channel.
void BM_ToStereo(benchmark::State& state)
{
    SoundBuffer* sound = Sound(state);
    if (!sound)
        return;
    for (auto _ : state) {
        state.PauseTiming();
        Check(state, ToMono(*sound), "ToMono failed");
        Check(state, ChangeVolume(*sound, -1, -1, 50), "ChangeVolume failed");
        state.ResumeTiming();
        Check(state, ToStereo(*sound), "ToStereo failed");
    }
    Done(state, kHourFloats / 2);
}

BENCHMARK(BM_PlainPass)->Arg(1)->Arg(64)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_PlainPassFade)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_ChangeVolume)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_PeakInRange)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_ReadPass)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_ReadThroughGains)->Arg(0)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_ColumnPeaks)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_IncreaseVolume)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_FadeIn)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_FadeOut)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_ToMono)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_ScaleDownByPeak)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_ToStereo)->Unit(benchmark::kMillisecond)->Iterations(4);

}  // namespace

namespace {

std::filesystem::path gTempFolder;

void RemoveTempFolder()
{
    std::error_code ec;
    std::filesystem::remove_all(gTempFolder, ec);
}

// An interrupted or aborted run never reaches the destructors; its gigabyte of samples must not stay.
extern "C" void OnFatalSignal(int signal)
{
    RemoveTempFolder();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string pattern = "/var/tmp/brindle-bench-edit-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        return 1;
    gTempFolder = pattern;
    ::setenv("TMPDIR", pattern.c_str(), 1);
    for (int signal : {SIGINT, SIGTERM, SIGABRT})
        std::signal(signal, OnFatalSignal);

    brindle::SetGainsAsPieces(false);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        RemoveTempFolder();
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    gSound.reset();  // deletes the two temporary files
    RemoveTempFolder();
    return 0;
}

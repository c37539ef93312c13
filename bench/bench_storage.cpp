// Storage kernels over an hour of 44.1 kHz stereo, each beside a plain memcpy of the same bytes in
// memory (the physical limit of moving them). Temporary files go to $TMPDIR, else /var/tmp.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "storage/sound_buffer.h"

namespace {

using brindle::kBlockSamples;
using brindle::SoundBuffer;

constexpr uint32_t kHourFrames = 44100u * 3600u;

// Writes a non-silent pattern so the pages are real data, not unwritten extents.
void Fill(SoundBuffer& sound)
{
    for (int c = 0; c < sound.channels.ChannelCount(); ++c) {
        auto& store = sound.channels.Channel(c);
        std::vector<float> samples(brindle::kBlockSamples);
        for (uint32_t b = 0; b < store.BlockCount(); ++b) {
            for (uint32_t k = 0; k < store.SamplesInBlock(b); ++k)
                samples[k] = float(int(k % 2000) - 1000) * 0.0005f;
            store.WriteSamples(b * brindle::kBlockSamples, samples.data(), store.SamplesInBlock(b));
        }
    }
}

void SetBytes(benchmark::State& state, double bytes)
{
    state.SetBytesProcessed(int64_t(bytes * double(state.iterations())));
}

void BM_CreateSilentHour(benchmark::State& state)
{
    for (auto _ : state) {
        SoundBuffer sound;
        if (!sound.CreateSilent(true, kHourFrames, 44100))
            state.SkipWithError("CreateSilent failed");
        benchmark::DoNotOptimize(sound.FrameCount());
    }
    SetBytes(state, double(kHourFrames) * 2 * 4);
}

// The same bytes through memory: one large memcpy between two resident buffers.
void BM_MemcpyHourOfFloats(benchmark::State& state)
{
    const size_t bytes = size_t(kHourFrames) * 2 * 4;
    std::vector<char> from(bytes, 1), to(bytes, 2);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    SetBytes(state, double(bytes));
}

void BM_DeleteRangeMiddleOfHour(benchmark::State& state)
{
    SoundBuffer original;
    if (!original.CreateSilent(true, kHourFrames, 44100)) {
        state.SkipWithError("CreateSilent failed");
        return;
    }
    Fill(original);
    for (auto _ : state) {
        state.PauseTiming();
        SoundBuffer sound;
        sound.CopyFrom(original);
        state.ResumeTiming();
        // One minute out of the middle: everything else is copied into a new store.
        if (!sound.DeleteRange(kHourFrames / 2, kHourFrames / 2 + 44100 * 60, true))
            state.SkipWithError("DeleteRange failed");
        state.PauseTiming();
        sound.Clear();
        state.ResumeTiming();
    }
    SetBytes(state, double(kHourFrames - 44100 * 60) * 2 * 4);
}

void BM_ReadInterleaved16Hour(benchmark::State& state)
{
    SoundBuffer sound;
    if (!sound.CreateSilent(true, kHourFrames, 44100)) {
        state.SkipWithError("CreateSilent failed");
        return;
    }
    Fill(sound);
    std::vector<int16_t> out(size_t(kBlockSamples) * 2);
    for (auto _ : state) {
        for (uint32_t frame = 0; frame < kHourFrames; frame += kBlockSamples)
            benchmark::DoNotOptimize(sound.ReadInterleaved16(out.data(), uint32_t(out.size()), frame));
    }
    SetBytes(state, double(kHourFrames) * 2 * 4);
}

// A block of floats copied from a resident hour-long array, block by block, into one reused buffer.
void BM_MemcpyHourInBlocks(benchmark::State& state)
{
    const size_t samples = size_t(kHourFrames) * 2;
    std::vector<float> from(samples, 0.25f);
    std::vector<float> to(kBlockSamples);
    for (auto _ : state) {
        for (size_t at = 0; at < samples; at += kBlockSamples) {
            std::memcpy(to.data(), from.data() + at, std::min<size_t>(kBlockSamples, samples - at) * 4);
            benchmark::ClobberMemory();
        }
    }
    SetBytes(state, double(samples) * 4);
}

class PcmBlock : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State&) override
    {
        sound.CreateSilent(true, kBlockSamples, 44100);
        Fill(sound);
        pcm.assign(size_t(kBlockSamples) * 4, 0);
    }
    void TearDown(const benchmark::State&) override { sound.Clear(); }
    SoundBuffer sound;
    std::vector<uint8_t> pcm;
};

BENCHMARK_F(PcmBlock, GetPcmBlockStereo16)(benchmark::State& state)
{
    for (auto _ : state) {
        sound.channels.Channel(0).GetPcmBlock(0, pcm.data(), 4, kBlockSamples, 2, 0);
        sound.channels.Channel(1).GetPcmBlock(0, pcm.data(), 4, kBlockSamples, 2, 1);
        benchmark::ClobberMemory();
    }
    SetBytes(state, double(kBlockSamples) * 2 * 4);
}

BENCHMARK_F(PcmBlock, PutPcmBlockStereo16)(benchmark::State& state)
{
    for (auto _ : state) {
        sound.channels.Channel(0).PutPcmBlock(0, pcm.data(), 4, kBlockSamples, 2, 0);
        sound.channels.Channel(1).PutPcmBlock(0, pcm.data(), 4, kBlockSamples, 2, 1);
        benchmark::ClobberMemory();
    }
    SetBytes(state, double(kBlockSamples) * 2 * 4);
}

// The same float bytes as one stereo block, copied in memory.
void BM_MemcpyOneStereoBlock(benchmark::State& state)
{
    std::vector<float> from(size_t(kBlockSamples) * 2, 0.5f), to(size_t(kBlockSamples) * 2);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), to.size() * 4);
        benchmark::ClobberMemory();
    }
    SetBytes(state, double(kBlockSamples) * 2 * 4);
}

BENCHMARK(BM_CreateSilentHour)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MemcpyHourOfFloats)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_DeleteRangeMiddleOfHour)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReadInterleaved16Hour)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MemcpyHourInBlocks)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_REGISTER_F(PcmBlock, GetPcmBlockStereo16)->Unit(benchmark::kMicrosecond);
BENCHMARK_REGISTER_F(PcmBlock, PutPcmBlockStereo16)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemcpyOneStereoBlock)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

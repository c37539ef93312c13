#include "edit/paste.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "edit/block_walk.h"
#include "edit/edit_kernels.h"
#include "storage/sound_buffer.h"
#include "tasks/progress.h"

namespace brindle {

namespace {

struct SoxrDeleter {
    void operator()(soxr* resampler) const { soxr_delete(resampler); }
};

// Writes runs of samples to a channel being written, split where blocks end (a store takes at most
// the rest of the block a run starts in).
bool WriteRun(ChannelStore& channel, uint32_t position, const float* samples, uint32_t count)
{
    while (count > 0) {
        const uint32_t run = std::min(count, kBlockSamples - position % kBlockSamples);
        if (!channel.WriteSamples(position, samples, run))
            return false;
        position += run;
        samples += run;
        count -= run;
    }
    return true;
}

// The format record of sound once it holds frames frames.
void SetLength(SoundBuffer& sound, uint32_t frames)
{
    sound.frameCount = frames;
    sound.dataByteCount = uint32_t(std::min<uint64_t>(uint64_t(frames) * sound.format.blockAlign, UINT32_MAX));
}

}  // namespace

int CopyIntoNewStores(SoundBuffer& sound, bool unnamed, Progress* progress)
{
    ChannelSet& channels = sound.channels;
    if (!channels.IsValid() || channels.IsEmpty())
        return 0;
    const uint16_t count = channels.ChannelCount();
    const uint32_t frames = channels.FrameCount();
    detail::EditMeter meter(progress, int64_t(frames) * count);
    ChannelStore copies[2];
    for (uint16_t c = 0; c < count; ++c) {
        if (!copies[c].Allocate(frames, unnamed))
            return 0;
        const ChannelStore& source = channels.Channel(c);
        for (int64_t i = 0; i < int64_t(source.BlockCount()); ++i) {
            const int64_t first = i * kBlockSamples;
            const uint32_t n = source.SamplesInBlock(i);
            if (!detail::EditMeter::Step(0) || !copies[c].CopyRange(first, source, first, first + n) ||
                !detail::EditMeter::Step(n))
                return 0;
        }
    }
    return channels.Adopt(count, channels.SampleRate(), copies);
}

int Resample(SoundBuffer& sound, uint32_t rate, Progress* progress)
{
    ChannelSet& channels = sound.channels;
    if (!channels.IsValid() || channels.IsEmpty() || rate == 0)
        return 0;
    const uint32_t from = channels.SampleRate();
    if (from == rate)
        return 1;
    const uint16_t count = channels.ChannelCount();
    const uint32_t frames = channels.FrameCount();
    const uint64_t wanted = uint64_t(std::llround(double(frames) * rate / from));
    if (wanted == 0 || wanted > kMaxStoredSamples)
        return 0;
    detail::EditMeter meter(progress, int64_t(frames) * count);

    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    std::unique_ptr<soxr, SoxrDeleter> resampler(soxr_create(from, rate, count, &error, &io, &quality, nullptr));
    if (!resampler || error)
        return 0;

    ChannelStore out[2];
    for (uint16_t c = 0; c < count; ++c) {
        if (!out[c].Allocate(uint32_t(wanted)))
            return 0;
    }
    std::vector<float> planar(kBlockSamples), interleaved(size_t(kBlockSamples) * count);
    const size_t room = size_t(double(kBlockSamples) * rate / from) + 1024;
    std::vector<float> made(room * count), column(room);
    uint32_t written = 0;
    // Takes what the resampler made, up to the length wanted (its flush may give a few frames more).
    auto keep = [&](size_t n) {
        n = std::min<size_t>(n, wanted - written);
        for (uint16_t c = 0; c < count; ++c) {
            for (size_t k = 0; k < n; ++k)
                column[k] = StoreSample(made[k * count + c]);
            if (!WriteRun(out[c], written, column.data(), uint32_t(n)))
                return false;
        }
        written += uint32_t(n);
        return true;
    };
    for (uint32_t position = 0; position < frames;) {
        const uint32_t n = std::min(kBlockSamples - position % kBlockSamples, frames - position);
        for (uint16_t c = 0; c < count; ++c) {
            if (!detail::EditMeter::Step(0) || !channels.Channel(c).ReadSamples(position, planar.data(), n))
                return 0;
            for (uint32_t k = 0; k < n; ++k)
                interleaved[size_t(k) * count + c] = planar[k];
        }
        size_t used = 0;
        while (used < n) {
            size_t taken = 0, done = 0;
            if (soxr_process(resampler.get(), interleaved.data() + used * count, n - used, &taken, made.data(), room,
                             &done) ||
                !keep(done))
                return 0;
            used += taken;
        }
        position += n;
        if (!detail::EditMeter::Step(int64_t(n) * count))
            return 0;
    }
    for (;;) {
        size_t done = 0;
        if (soxr_process(resampler.get(), nullptr, 0, nullptr, made.data(), room, &done) || !keep(done))
            return 0;
        if (done == 0 || written == wanted)
            break;
    }
    // The flush gives what the filter still held; a shortfall of a few frames is the filter's delay.
    if (written < wanted) {
        std::fill(column.begin(), column.end(), 0.0f);
        for (uint16_t c = 0; c < count; ++c) {
            for (uint32_t at = written; at < wanted;) {
                const uint32_t n = std::min<uint32_t>(uint32_t(wanted) - at, uint32_t(column.size()));
                if (!WriteRun(out[c], at, column.data(), n))
                    return 0;
                at += n;
            }
        }
    }
    if (!channels.Adopt(count, rate, out))
        return 0;
    sound.format.samplesPerSecond = rate;
    sound.format.avgBytesPerSecond = uint32_t(std::min<uint64_t>(uint64_t(rate) * sound.format.blockAlign, UINT32_MAX));
    SetLength(sound, uint32_t(wanted));
    return 1;
}

int SpliceSound(SoundBuffer& sound, int64_t start, int64_t end, const SoundBuffer& clip)
{
    ChannelSet& channels = sound.channels;
    const uint16_t count = channels.ChannelCount();
    if (!channels.IsValid() || channels.IsEmpty() || !clip.channels.IsValid() ||
        clip.channels.ChannelCount() != count || clip.channels.SampleRate() != channels.SampleRate())
        return 0;
    const int64_t n = channels.FrameCount();
    if (start < 0 || end < start || end > n)
        return 0;
    const int64_t m = n - (end - start) + clip.channels.FrameCount();
    ChannelStore spliced[2];
    for (uint16_t c = 0; c < count; ++c) {
        spliced[c].CopyFrom(channels.Channel(c));
        if (!spliced[c].Splice(start, end, clip.channels.Channel(c)))
            return 0;
    }
    WaveFormat format = sound.format;
    // Widening 8 bits to 16 costs nothing, and is what a cut gives.
    if (format.bitsPerSample < 16)
        format = WaveFormat::Pcm16(count, channels.SampleRate());
    if (!channels.Adopt(count, channels.SampleRate(), spliced))
        return 0;
    sound.format = std::move(format);
    SetLength(sound, uint32_t(m));
    return 1;
}

int InsertSilence(SoundBuffer& sound, int64_t start, int64_t end, uint32_t frames, Progress* progress)
{
    ChannelSet& channels = sound.channels;
    if (!channels.IsValid() || channels.IsEmpty() || frames == 0)
        return FinishProgress(progress, 0);
    // A new store is made of zeros: nothing to write but its size.
    ChannelStore zeros[2];
    if (!zeros[0].Allocate(frames))
        return FinishProgress(progress, 0);
    if (channels.ChannelCount() == 2)
        zeros[1].CopyFrom(zeros[0]);
    SoundBuffer silence;
    if (!silence.channels.Adopt(channels.ChannelCount(), channels.SampleRate(), zeros))
        return FinishProgress(progress, 0);
    return FinishProgress(progress, SpliceSound(sound, start, end, silence));
}

}  // namespace brindle

// Peak resident memory of creating, copying and cutting a 1-minute and a 60-minute stereo sound.
// Each size runs in a child process so that its peak is its own. Samples live in mapped temporary
// files one block at a time, so the two peaks should differ by far less than 32 MB.
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "storage/sound_buffer.h"

namespace {

int Exercise(uint32_t minutes)
{
    const uint32_t frames = 44100u * 60u * minutes;
    brindle::SoundBuffer sound, copy;
    if (!sound.CreateSilent(true, frames, 44100))
        return 1;
    // Touch every sample so that every page is really written once.
    for (int c = 0; c < 2; ++c) {
        auto& store = sound.channels.Channel(c);
        std::vector<float> samples(brindle::kBlockSamples);
        for (uint32_t b = 0; b < store.BlockCount(); ++b) {
            for (uint32_t k = 0; k < store.SamplesInBlock(b); ++k)
                samples[k] = 0.001f * float(k % 997);
            if (!store.WriteSamples(b * brindle::kBlockSamples, samples.data(), store.SamplesInBlock(b)))
                return 1;
        }
    }
    if (!copy.CopyFrom(sound) || !copy.DeleteRange(frames / 3, frames / 2, true) ||
        !sound.DeleteRange(frames / 4, frames / 2, false))
        return 1;
    return 0;
}

}  // namespace

int main()
{
    int status = 0;
    for (uint32_t minutes : {1u, 60u}) {
        const pid_t child = fork();
        if (child == 0)
            _exit(Exercise(minutes));
        int wstatus = 0;
        rusage usage {};
        if (child < 0 || wait4(child, &wstatus, 0, &usage) != child || !WIFEXITED(wstatus) ||
            WEXITSTATUS(wstatus) != 0) {
            std::fprintf(stderr, "%u-minute run failed\n", minutes);
            status = 1;
            continue;
        }
        std::printf("%2u-minute stereo: create + copy + cut, peak resident memory %.1f MB\n", minutes,
                    double(usage.ru_maxrss) / 1024.0);
    }
    return status;
}

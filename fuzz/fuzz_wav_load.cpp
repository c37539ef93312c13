// The WAV reader as the editor uses it: a file's bytes through LoadWav, conversion of non-PCM formats
// included, then every sample read back from the stores.
#include <algorithm>
#include <vector>

#include "formats/wav_file.h"
#include "fuzz_support.h"
#include "storage/sound_buffer.h"
#include "tasks/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto path = brindle::fuzz::WriteInput(data, size, "input.wav");
    brindle::SoundBuffer buffer;
    brindle::Progress progress(1000);
    if (brindle::LoadWav(buffer, path, &progress) && buffer.HasSound()) {
        std::vector<float> samples(4096);
        for (uint32_t c = 0; c < buffer.channels.ChannelCount(); ++c) {
            const auto& store = buffer.channels.Channel(c);
            for (uint32_t at = 0; at < store.StoredLength(); at += uint32_t(samples.size())) {
                const uint32_t count = std::min<uint32_t>(uint32_t(samples.size()), store.StoredLength() - at);
                if (!store.ReadSamples(at, samples.data(), count))
                    __builtin_trap();
            }
        }
    }
    return 0;
}

// The compressed-WAV import: a file's bytes through libsndfile's decoding straight into the sample
// stores (every format but 8- and 16-bit PCM takes this way), then every sample read back.
#include <algorithm>
#include <vector>

#include "formats/wav_conversion.h"
#include "fuzz_support.h"
#include "storage/sound_buffer.h"
#include "tasks/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto path = brindle::fuzz::WriteInput(data, size, "input.wav");
    brindle::SoundBuffer buffer;
    brindle::Progress progress(1000);
    if (brindle::DecodeWavInto(buffer, path, &progress)) {
        if (buffer.channels.FrameCount() != buffer.frameCount)
            __builtin_trap();
        brindle::fuzz::ReadEverySample(buffer);
    }
    return 0;
}

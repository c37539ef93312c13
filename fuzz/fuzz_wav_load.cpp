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
        brindle::fuzz::ReadEverySample(buffer);
    }
    return 0;
}

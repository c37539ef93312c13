// The compressed-WAV import: a file's bytes through the conversion to 16-bit PCM.
#include "formats/wav_conversion.h"
#include "fuzz_support.h"
#include "storage/temp_files.h"
#include "tasks/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto path = brindle::fuzz::WriteInput(data, size, "input.wav");
    brindle::UnnamedTempFile target;
    if (!target.Create())
        __builtin_trap();
    brindle::Progress progress(1000);
    brindle::ConvertToPcmWav(path, target.Path(), &progress);
    return 0;
}

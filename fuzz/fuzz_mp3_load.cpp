// MP3 import as the editor does it: tags, then the decoder into the sample stores.
#include "formats/mp3_document.h"
#include "fuzz_support.h"
#include "tasks/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto path = brindle::fuzz::WriteInput(data, size, "input.mp3");
    brindle::Mp3Document document;
    brindle::Progress progress(1000);
    document.LoadMp3(path, &progress);
    return 0;
}

// The Ogg open as the editor makes it: a file's bytes through Document::Load as ".ogg" (the
// samples through libsndfile, the Vorbis comments and pictures through TagLib), then every sample read
// back from the stores.
#include "document/document.h"
#include "fuzz_support.h"
#include "tasks/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto path = brindle::fuzz::WriteInput(data, size, "input.ogg");
    brindle::Document document;
    brindle::Progress progress(1000);
    if (document.Load(path, &progress) && !document.IsEmpty())
        brindle::fuzz::ReadEverySample(document.ActiveBuffer());
    return 0;
}

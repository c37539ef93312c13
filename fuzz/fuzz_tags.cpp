// The tag reader alone, on every input (the MP3 import skips it for files it refuses early).
#include "formats/file_tags.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto path = brindle::fuzz::WriteInput(data, size, "input.mp3");
    brindle::FileTags tags;
    tags.ReadTags(path);
    return 0;
}

// MP3 import as the editor does it: tags, then the decoder into the sample stores. Then the same
// bytes decoded once by one decoder and once in ranges: whatever the file, the ranges must give
// exactly what one decoder gives, the decision to refuse it included, or the process traps.
#include <vector>

#include "formats/mp3_decoder.h"
#include "formats/mp3_document.h"
#include "fuzz_support.h"
#include "storage/sound_buffer.h"
#include "tasks/progress.h"

namespace {

std::vector<float> Samples(const brindle::SoundBuffer& buffer)
{
    std::vector<float> samples;
    for (int c = 0; c < buffer.channels.ChannelCount(); ++c) {
        std::vector<float> channel(buffer.frameCount);
        if (buffer.frameCount && !buffer.channels.Channel(c).ReadSamples(0, channel.data(), buffer.frameCount))
            __builtin_trap();
        samples.insert(samples.end(), channel.begin(), channel.end());
    }
    return samples;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto path = brindle::fuzz::WriteInput(data, size, "input.mp3");
    brindle::Mp3Document document;
    brindle::Progress progress(1000);
    document.LoadMp3(path, &progress);

    brindle::Mp3Decoder whole;
    whole.SetRangeCount(1);
    brindle::SoundBuffer one;
    const int wholeResult = whole.DecodeInto(one, path, nullptr);
    brindle::Mp3Decoder ranges;
    ranges.SetRangeCount(2 + unsigned(size % 7));
    brindle::SoundBuffer split;
    const int rangesResult = ranges.DecodeInto(split, path, nullptr);
    if (wholeResult != rangesResult || one.frameCount != split.frameCount ||
        one.format.channelCount != split.format.channelCount || Samples(one) != Samples(split))
        __builtin_trap();
    return 0;
}

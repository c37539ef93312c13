// Helpers shared by the MP3 and tag tests: reading the reference tools' 16-bit WAV output, running
// the tools, and reading a sound buffer back as 16-bit samples.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace brindle {
class SoundBuffer;
}

namespace brindle::test {

struct Pcm16 {
    bool isValid = false;
    uint32_t channels = 0;
    uint32_t rate = 0;
    std::vector<int16_t> samples;  // interleaved
    size_t Frames() const { return channels ? samples.size() / channels : 0; }
};

// A PCM WAV file with 16-bit samples (the chunk walk accepts any chunk order).
Pcm16 ReadPcm16Wav(const std::filesystem::path& path);
// The whole buffer as interleaved 16-bit samples.
Pcm16 BufferPcm16(SoundBuffer& buffer);
// `mpg123 -q -w wav mp3`; returns its exit status.
int DecodeWithMpg123(const std::filesystem::path& mp3, const std::filesystem::path& wav);
// True when the command-line tool can be found.
bool HasTool(const std::string& name);

// Bit rates (kbit/s) of every MPEG audio frame of a file, found by walking the frame headers after any
// ID3v2 tag; the first frame's own bytes are also returned for a look at its info tag.
struct FrameWalk {
    std::vector<uint32_t> bitrates;
    std::vector<uint8_t> firstFrame;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
};
FrameWalk WalkMp3Frames(const std::filesystem::path& path);

}  // namespace brindle::test

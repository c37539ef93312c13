// The format record of a sound, as a WAV file's "fmt " chunk states it.
#pragma once

#include <cstdint>
#include <vector>

namespace brindle {

struct WaveFormat {
    uint16_t formatTag = 0;  // 1 = integer PCM, 3 = IEEE float; other tags only on the import path
    uint16_t channelCount = 0;
    uint32_t samplesPerSecond = 0;
    uint32_t avgBytesPerSecond = 0;
    uint16_t blockAlign = 0;  // bytes of one frame, all channels
    uint16_t bitsPerSample = 0;
    uint16_t extraSize = 0;
    std::vector<uint8_t> extraBytes;  // exactly extraSize bytes, or none

    // Interleaved 16-bit integer PCM, as the MP3 decoder gives it.
    static WaveFormat Pcm16(uint16_t channels, uint32_t rate)
    {
        WaveFormat format;
        format.formatTag = 1;
        format.channelCount = channels;
        format.samplesPerSecond = rate;
        format.blockAlign = uint16_t(channels * 2);
        format.avgBytesPerSecond = rate * format.blockAlign;
        format.bitsPerSample = 16;
        return format;
    }

    // The six fixed fields from the first 16 bytes of a "fmt " chunk (little-endian); extra size 0.
    void SetFromPcmRecord(const uint8_t record[16]);
    // All fields zero, extra bytes freed.
    void Clear();

    // The format tests in order: tag, channels, rate, byte rate, block align, bits, extra size. Byte
    // rate, block align and extra size are tested only for uncompressed samples (tags 1 and 3).
    bool IsValidFormat() const;
    // Samples stored as plain numbers: integer PCM or IEEE float.
    bool IsUncompressed() const { return formatTag == 1 || formatTag == 3; }
    bool IsFloat() const { return formatTag == 3; }
    bool IsZero() const;
};

}  // namespace brindle

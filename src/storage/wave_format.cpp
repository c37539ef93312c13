#include "storage/wave_format.h"

namespace brindle {

namespace {
uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
}  // namespace

void WaveFormat::SetFromPcmRecord(const uint8_t record[16])
{
    extraBytes.clear();
    extraBytes.shrink_to_fit();
    formatTag = Le16(record);
    channelCount = Le16(record + 2);
    samplesPerSecond = Le32(record + 4);
    avgBytesPerSecond = Le32(record + 8);
    blockAlign = Le16(record + 12);
    bitsPerSample = Le16(record + 14);
    extraSize = 0;
}

void WaveFormat::Clear()
{
    *this = WaveFormat();
}

bool WaveFormat::IsValidFormat() const
{
    // A float record is written out just as a PCM one is, so it must be as consistent.
    const bool isPcm = IsUncompressed();
    if (formatTag < 1 || channelCount < 1 || samplesPerSecond < 1 || avgBytesPerSecond < 1)
        return false;
    // 64-bit products: a wrapped 32-bit product must not make a forged header look consistent.
    if (isPcm && uint64_t(avgBytesPerSecond) != uint64_t(samplesPerSecond) * blockAlign)
        return false;
    if (blockAlign < 1)
        return false;
    if (isPcm && uint32_t(channelCount) * bitsPerSample / 8 != blockAlign)
        return false;
    if (bitsPerSample < 2)
        return false;
    return !(isPcm && extraSize != 0);
}

bool WaveFormat::IsZero() const
{
    return formatTag == 0 && channelCount == 0 && samplesPerSecond == 0 && avgBytesPerSecond == 0 &&
           blockAlign == 0 && bitsPerSample == 0 && extraSize == 0 && extraBytes.empty();
}

}  // namespace brindle

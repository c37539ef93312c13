// The four conversions between float samples (full scale -1..1) and 8-bit unsigned or 16-bit signed PCM.
//
// To float is exact. From float rounds to nearest with halves going up (floor(v + 0.5)) and clamps, so
// every 8- and 16-bit value survives a round trip unchanged. A NaN (only possible from a corrupt
// temporary file) becomes silence rather than a full-scale click.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindle {

inline float U8ToFloat(uint8_t b) { return float(int(b) - 128) * 0.0078125f; }

inline float S16ToFloat(int16_t s) { return float(s) * 0.000030517578125f; }

inline uint8_t FloatToU8(float x)
{
    // In double, (x + 1) * 128 + 0.5 is exact; after clamping to 0..255 the value is not negative, so
    // truncation is the floor. Written without branches so that block loops vectorise.
    double v = (double(x) + 1.0) * 128.0 + 0.5;
    v = x == x ? v : 128.5;
    v = v < 0.0 ? 0.0 : v;
    v = v > 255.0 ? 255.0 : v;
    return uint8_t(int32_t(v));
}

inline int16_t FloatToS16(float x)
{
    // Shifted by 32768 so that the clamped value is never negative and truncation is the floor.
    double v = double(x) * 32768.0 + 32768.5;
    v = x == x ? v : 32768.5;
    v = v < 0.0 ? 0.0 : v;
    v = v > 65535.0 ? 65535.0 : v;
    return int16_t(int32_t(v) - 32768);
}

// Block helpers over interleaved data: `stride` is the distance, in samples, between consecutive
// frames' samples of one channel (the channel count). 16-bit data is little-endian whatever the host.
void ConvertU8ToFloat(const uint8_t* source, size_t stride, float* target, size_t count);
void ConvertS16LeToFloat(const uint8_t* source, size_t stride, float* target, size_t count);
void ConvertFloatToU8(const float* source, size_t count, uint8_t* target, size_t stride);
void ConvertFloatToS16Le(const float* source, size_t count, uint8_t* target, size_t stride);

}  // namespace brindle

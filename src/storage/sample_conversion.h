// The conversions between float samples (full scale -1..1) and 8-bit unsigned or 16-, 24- or 32-bit
// signed PCM.
//
// To float is exact, except from 32 bits: a float holds 24 significant bits, so a 32-bit sample comes
// to the nearest float. From float rounds to nearest with halves going up (floor(v + 0.5)) and clamps,
// so every 8-, 16- and 24-bit value, and every 32-bit value that a float holds, survives a round trip
// unchanged. A NaN (from a corrupt temporary file, or a float WAV that holds one) becomes silence
// rather than a full-scale click.
#pragma once

#include <cmath>
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

// Left-justified 32-bit samples, as libsndfile hands integer PCM of any width: s × 2^-31, a 24-bit
// sample shifted up by 8 exactly.
inline float S32ToFloat(int32_t s) { return float(double(s) * 4.656612873077392578125e-10); }

// x × 2^23 and x × 2^31 are exact in double; adding the half is exact too wherever the floor depends
// on it (for |x × 2^k| under 2^-30 the sum rounds, but stays strictly between 0 and 1).
inline int32_t FloatToS24(float x)
{
    double v = std::floor(double(x) * 8388608.0 + 0.5);
    v = x == x ? v : 0.0;
    v = v < -8388608.0 ? -8388608.0 : v;
    v = v > 8388607.0 ? 8388607.0 : v;
    return int32_t(v);
}

inline int32_t FloatToS32(float x)
{
    double v = std::floor(double(x) * 2147483648.0 + 0.5);
    v = x == x ? v : 0.0;
    v = v < -2147483648.0 ? -2147483648.0 : v;
    v = v > 2147483647.0 ? 2147483647.0 : v;
    return int32_t(v);
}

// Block helpers over interleaved data: `stride` is the distance, in samples, between consecutive
// frames' samples of one channel (the channel count). 16-bit data is little-endian whatever the host.
void ConvertU8ToFloat(const uint8_t* source, size_t stride, float* target, size_t count);
void ConvertS16LeToFloat(const uint8_t* source, size_t stride, float* target, size_t count);
void ConvertFloatToU8(const float* source, size_t count, uint8_t* target, size_t stride);
void ConvertFloatToS16Le(const float* source, size_t count, uint8_t* target, size_t stride);
void ConvertFloatToS24Le(const float* source, size_t count, uint8_t* target, size_t stride);
void ConvertFloatToS32Le(const float* source, size_t count, uint8_t* target, size_t stride);
// The floats' own bits, little-endian: a float sound is written as it is held.
void ConvertFloatToF32Le(const float* source, size_t count, uint8_t* target, size_t stride);
void ConvertS32ToFloat(const int32_t* source, float* target, size_t count);

}  // namespace brindle

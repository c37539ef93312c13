#include "storage/sample_conversion.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brindle {
namespace {

#if defined(__SSE2__)
// FloatToS16 for four samples in single precision, where the double-precision rule does not
// vectorise and an MP3 or WAV save spent a quarter of its time. x * 32768 is exact; truncating
// y + 0.5 toward zero is corrected to the floor, and then once more where y + 0.5 rounded up across
// an integer (y just under a half). This gives FloatToS16's result for every float, NaN included.
inline __m128i FloatToS16x4(__m128 x)
{
    const __m128 ordered = _mm_cmpord_ps(x, x);
    __m128 y = _mm_and_ps(_mm_mul_ps(x, _mm_set1_ps(32768.0f)), ordered);
    y = _mm_min_ps(_mm_max_ps(y, _mm_set1_ps(-32768.0f)), _mm_set1_ps(32767.0f));
    const __m128 t = _mm_add_ps(y, _mm_set1_ps(0.5f));
    __m128i i = _mm_cvttps_epi32(t);
    // A true comparison is all ones, that is -1.
    i = _mm_add_epi32(i, _mm_castps_si128(_mm_cmpgt_ps(_mm_cvtepi32_ps(i), t)));
    i = _mm_add_epi32(i, _mm_castps_si128(_mm_cmpgt_ps(_mm_sub_ps(_mm_cvtepi32_ps(i), _mm_set1_ps(0.5f)), y)));
    return i;
}

// The interleaved target may sit at any byte; only the other channels' words lie between ours.
inline void StoreWord(uint8_t* at, int word)
{
    const auto value = uint16_t(word);
    std::memcpy(at, &value, sizeof value);
}
#endif

}  // namespace

void ConvertU8ToFloat(const uint8_t* source, size_t stride, float* target, size_t count)
{
    for (size_t k = 0; k < count; ++k)
        target[k] = U8ToFloat(source[k * stride]);
}

void ConvertS16LeToFloat(const uint8_t* source, size_t stride, float* target, size_t count)
{
    size_t k = 0;
#if defined(__SSE2__)
    const __m128 scale = _mm_set1_ps(0.000030517578125f);
    if (stride == 1) {
        for (; k + 8 <= count; k += 8) {
            const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 2 * k));
            const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(words, words), 16);
            const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(words, words), 16);
            _mm_storeu_ps(target + k, _mm_mul_ps(_mm_cvtepi32_ps(low), scale));
            _mm_storeu_ps(target + k + 4, _mm_mul_ps(_mm_cvtepi32_ps(high), scale));
        }
    } else if (stride == 2) {
        // Four frames a load, the wanted sample in the low half of each 32-bit lane. For the second
        // channel the load reaches into the frame after the fourth, so it stops a frame early.
        for (; k + 5 <= count; k += 4) {
            const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + 4 * k));
            const __m128i samples = _mm_srai_epi32(_mm_slli_epi32(words, 16), 16);
            _mm_storeu_ps(target + k, _mm_mul_ps(_mm_cvtepi32_ps(samples), scale));
        }
    }
#endif
    for (; k < count; ++k) {
        const uint8_t* p = source + 2 * k * stride;
        target[k] = S16ToFloat(int16_t(uint16_t(p[0] | (p[1] << 8))));
    }
}

void ConvertFloatToU8(const float* source, size_t count, uint8_t* target, size_t stride)
{
    for (size_t k = 0; k < count; ++k)
        target[k * stride] = FloatToU8(source[k]);
}

void ConvertFloatToS16Le(const float* source, size_t count, uint8_t* target, size_t stride)
{
    size_t k = 0;
#if defined(__SSE2__)
    // x86 is little-endian: the packed words are already in the file's byte order.
    for (; k + 8 <= count; k += 8) {
        const __m128i words = _mm_packs_epi32(FloatToS16x4(_mm_loadu_ps(source + k)),
                                              FloatToS16x4(_mm_loadu_ps(source + k + 4)));
        if (stride == 1) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(target + 2 * k), words);
            continue;
        }
        uint8_t* out = target + 2 * k * stride;
        const size_t step = 2 * stride;
        StoreWord(out, _mm_extract_epi16(words, 0));
        StoreWord(out + step, _mm_extract_epi16(words, 1));
        StoreWord(out + 2 * step, _mm_extract_epi16(words, 2));
        StoreWord(out + 3 * step, _mm_extract_epi16(words, 3));
        StoreWord(out + 4 * step, _mm_extract_epi16(words, 4));
        StoreWord(out + 5 * step, _mm_extract_epi16(words, 5));
        StoreWord(out + 6 * step, _mm_extract_epi16(words, 6));
        StoreWord(out + 7 * step, _mm_extract_epi16(words, 7));
    }
#endif
    for (; k < count; ++k) {
        const uint16_t v = uint16_t(FloatToS16(source[k]));
        uint8_t* p = target + 2 * k * stride;
        p[0] = uint8_t(v);
        p[1] = uint8_t(v >> 8);
    }
}

namespace {

inline void PutLe(uint8_t* p, uint32_t v, int bytes)
{
    for (int b = 0; b < bytes; ++b)
        p[b] = uint8_t(v >> (8 * b));
}

}  // namespace

void ConvertFloatToS24Le(const float* source, size_t count, uint8_t* target, size_t stride)
{
    for (size_t k = 0; k < count; ++k)
        PutLe(target + 3 * k * stride, uint32_t(FloatToS24(source[k])), 3);
}

void ConvertFloatToS32Le(const float* source, size_t count, uint8_t* target, size_t stride)
{
    for (size_t k = 0; k < count; ++k)
        PutLe(target + 4 * k * stride, uint32_t(FloatToS32(source[k])), 4);
}

void ConvertFloatToF32Le(const float* source, size_t count, uint8_t* target, size_t stride)
{
    for (size_t k = 0; k < count; ++k)
        PutLe(target + 4 * k * stride, std::bit_cast<uint32_t>(source[k]), 4);
}

void ConvertS32ToFloat(const int32_t* source, float* target, size_t count)
{
    for (size_t k = 0; k < count; ++k)
        target[k] = S32ToFloat(source[k]);
}

}  // namespace brindle

#include "storage/sample_conversion.h"

namespace brindle {

void ConvertU8ToFloat(const uint8_t* source, size_t stride, float* target, size_t count)
{
    for (size_t k = 0; k < count; ++k)
        target[k] = U8ToFloat(source[k * stride]);
}

void ConvertS16LeToFloat(const uint8_t* source, size_t stride, float* target, size_t count)
{
    for (size_t k = 0; k < count; ++k) {
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
    for (size_t k = 0; k < count; ++k) {
        const uint16_t v = uint16_t(FloatToS16(source[k]));
        uint8_t* p = target + 2 * k * stride;
        p[0] = uint8_t(v);
        p[1] = uint8_t(v >> 8);
    }
}

}  // namespace brindle

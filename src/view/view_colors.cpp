#include "view/view_colors.h"

namespace brindle {

Rgb BlendColor(Rgb base, Rgb target, int alpha)
{
    if (alpha >= 255)
        return target;
    if (alpha <= 0)
        return base;
    auto mix = [alpha](int b, int t) { return uint8_t((t * alpha + b * (255 - alpha)) / 255); };
    return {mix(base.red, target.red), mix(base.green, target.green), mix(base.blue, target.blue)};
}

}  // namespace brindle

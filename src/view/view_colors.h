// The waveform's and the selection bar's colours, and the blend the bar's track is drawn with. No Qt.
#pragma once

#include <cstdint>

namespace brindle {

struct Rgb {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

namespace colors {
inline constexpr Rgb kStripBackground{180, 180, 180};
inline constexpr Rgb kWaveLine{0, 52, 113};
inline constexpr Rgb kChannelSeparator{66, 66, 66};
inline constexpr Rgb kPlayCursor{0, 255, 255};
inline constexpr Rgb kSelectionBand{87, 191, 101};
// Marks the transparent pixels of the selection bar's markers.
inline constexpr Rgb kColorKey{255, 0, 255};
inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kBlack{0, 0, 0};
}  // namespace colors

// alpha 0 gives base, 255 target; between them each component is (target * alpha + base * (255 -
// alpha)) / 255 in integers (so it rounds down).
Rgb BlendColor(Rgb base, Rgb target, int alpha);

}  // namespace brindle

// The waveform's picture without selection or cursor: channel strips drawn from the peak cache into a
// 24-bit image of the view's size. Needs Qt's image class only, no widget.
#pragma once

#include <QImage>

#include "view/view_colors.h"

namespace brindle {

class PeakCache;

// How the strips are drawn: their colours (the designed ones unless a dark palette asks for others)
// and the picture's vertical zoom, which multiplies every value before it is drawn and limits the
// product to -1..1 (the sound itself is untouched).
struct WaveStyle {
    Rgb background = colors::kStripBackground;
    Rgb line = colors::kWaveLine;
    Rgb separator = colors::kChannelSeparator;
    float gain = 1.0f;
};

// Points this many columns apart or more are each marked, so that single samples stand out.
inline constexpr int kPointMarkSpacing = 4;

// A Format_RGB888 image of width x height. A mono cache fills the whole image with channel 0's strip;
// any other (stereo, or empty) gets channel 0 in rows 0 .. h/2 - 1, the separator row at h/2 and
// channel 1 below it. In a strip of rows [t, b), with half = (b - t) / 2 and centre = t + half, each
// column x is a line from centre - trunc(max * half) down to, not including,
// max(centre - trunc(min * half), centre + 1), max and min taken from the peak column of x; so
// silence is the centre row alone. A cache of points (a zoomed view deeper than a frame a column)
// draws each strip as the polyline through (x, centre - trunc(value * half)) of its points, value
// limited to -1..1, clipped to the strip, with a 3 x 3 square on each point once neighbouring points lie
// kPointMarkSpacing columns apart or more. A null image when the size is empty or memory runs out.
QImage BuildWaveImage(const PeakCache& cache, int width, int height, const WaveStyle& style = {});

}  // namespace brindle

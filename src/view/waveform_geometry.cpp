#include "view/waveform_geometry.h"

#include <algorithm>
#include <cstdlib>

namespace brindle {

namespace {
constexpr int kEdgeReach = 2;  // pixels either side of an edge that still take it
}

bool IsDrawnFrameByFrame(uint32_t frameCount, int width)
{
    return width > 0 && int64_t(frameCount) < 2 * int64_t(width);
}

int FrameToPixel(int64_t frame, uint32_t frameCount, int width)
{
    if (frame < 0 || frameCount == 0)
        return -1;
    // Long sounds keep the +1 they have always been drawn with. On a short one it would move a range
    // a whole frame to the right: Select All on a one-frame sound would show nothing.
    const int64_t shift = IsDrawnFrameByFrame(frameCount, width) ? 0 : 1;
    const double x = double(frame + shift) * double(width) / double(frameCount) + 0.5;
    return int(std::clamp<double>(x, 0.0, std::max(width, 0)));
}

int64_t PixelToFrame(int x, uint32_t frameCount, int width)
{
    if (width <= 0)
        return 0;
    return int64_t(double(frameCount) * double(x) / double(width) + 0.5);
}

int64_t PeakColumnOfPixel(int x, uint32_t columnCount, int width)
{
    if (width <= 0)
        return -1;
    return int64_t(std::clamp(x, 0, width)) * columnCount / width;
}

int CursorPixel(double fraction, int width)
{
    const double x = fraction * double(width) + 0.5;
    return int(std::clamp<double>(x, 0.0, std::max(width - 1, 0)));
}

EdgeGrab HitTestEdges(int x, int startPixel, int endPixel)
{
    const int ds = std::abs(x - startPixel);
    const int de = std::abs(x - endPixel);
    EdgeGrab grab;
    grab.start = ds <= kEdgeReach && (de > kEdgeReach || de >= ds);
    grab.end = de <= kEdgeReach && (ds > kEdgeReach || de < ds);
    return grab;
}

bool IsNearEdge(int x, int startPixel, int endPixel)
{
    return std::abs(x - startPixel) <= kEdgeReach || std::abs(x - endPixel) <= kEdgeReach;
}

}  // namespace brindle

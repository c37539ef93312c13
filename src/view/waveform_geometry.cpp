#include "view/waveform_geometry.h"

#include <algorithm>
#include <cstdlib>

namespace brindle {

namespace {
constexpr int kEdgeReach = 2;  // pixels either side of an edge that still take it
}

int FrameToPixel(int64_t frame, uint32_t frameCount, int width)
{
    if (frame < 0 || frameCount == 0)
        return -1;
    const double x = double(frame + 1) * double(width) / double(frameCount) + 0.5;
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

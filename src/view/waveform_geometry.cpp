#include "view/waveform_geometry.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace brindle {

namespace {
constexpr int kEdgeReach = 2;  // pixels either side of an edge that still take it
// How far outside the view a frame's column may lie: far enough never to be taken for a column on it.
constexpr double kFarOff = double(1 << 24);
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

int FrameToPixel(int64_t frame, FrameRange range, uint32_t frameCount, int width)
{
    if (frame < 0 || frameCount == 0 || range.count <= 0)
        return -1;
    // The whole sound keeps the +1 it has always had; a zoomed range has none, so that every column
    // and every frame maps back to itself however few frames a column holds.
    const bool whole = range.first == 0 && range.End() >= int64_t(frameCount);
    const int64_t shift = whole && !IsDrawnFrameByFrame(frameCount, width) ? 1 : 0;
    // floor rather than trunc: a frame just left of the view must not land on its first column.
    const double x = std::floor(double(frame - range.first + shift) * double(width) / double(range.count) + 0.5);
    const double right = range.End() >= int64_t(frameCount) ? double(std::max(width, 0)) : width + kFarOff;
    return int(std::clamp(x, -kFarOff, right));
}

int64_t PixelToFrame(int x, FrameRange range, int width)
{
    if (width <= 0)
        return range.first;
    return range.first + int64_t(double(range.count) * double(x) / double(width) + 0.5);
}

int CursorPixel(int64_t position, FrameRange range, int width)
{
    if (range.count <= 0 || position < range.first || position > range.End())
        return -1;
    const double x = double(position - range.first) * double(width) / double(range.count) + 0.5;
    return int(std::clamp<double>(x, 0.0, std::max(width - 1, 0)));
}

int64_t DeepestZoomCount(uint32_t frameCount, int width)
{
    return std::min<int64_t>(frameCount, std::max(1, width / kMinPixelsPerFrame));
}

FrameRange ClampRange(FrameRange range, uint32_t frameCount, int width)
{
    range.count = std::clamp<int64_t>(range.count, DeepestZoomCount(frameCount, width), frameCount);
    range.first = std::clamp<int64_t>(range.first, 0, frameCount - range.count);
    return range;
}

FrameRange ZoomRange(FrameRange range, uint32_t frameCount, int width, int steps, int anchorX, int64_t anchorFrame)
{
    if (width <= 0 || frameCount == 0)
        return {};
    double count = double(range.count);
    for (int i = 0; i < std::abs(steps); ++i)
        count = steps > 0 ? count / kZoomFactor : count * kZoomFactor;
    // Limited before the anchor is placed, so that the deepest and the whole stay exact.
    const int64_t newCount =
        std::clamp<int64_t>(int64_t(std::min(count, double(frameCount)) + 0.5), DeepestZoomCount(frameCount, width),
                            frameCount);
    const int64_t first = anchorFrame - int64_t(double(newCount) * double(anchorX) / double(width) + 0.5);
    return ClampRange({first, newCount}, frameCount, width);
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

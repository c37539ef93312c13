// The arithmetic between the waveform's pixel columns and the sound's frames, shared by the view, its
// mouse handling and the selection bar. No Qt: tests reach it without a widget.
//
// width is the waveform's client width in pixels; frameCount the open sound's frame count, 0 when
// there is no valid sound.
#pragma once

#include <cstdint>

namespace brindle {

// Fewer than two frames a column: the sound is drawn frame by frame (ComputeFrameSpanPeaks), each
// frame across the columns it spans, and its frames map to the columns where they begin.
bool IsDrawnFrameByFrame(uint32_t frameCount, int width);

// The column of frame: trunc((frame + 1) * width / frameCount + 0.5) limited to 0..width (the +1
// applies to both edges of a range alike, and moves an edge by at most half a column); for a sound
// drawn frame by frame, where a frame is wider than that, the column where the frame begins,
// trunc(frame * width / frameCount + 0.5). -1 for a negative frame or no sound (frameCount 0).
int FrameToPixel(int64_t frame, uint32_t frameCount, int width);

// The frame at column x (the caller has clamped x to 0..width): trunc(frameCount * x / width + 0.5),
// so column width is the frame count itself. 0 when width is not above 0.
int64_t PixelToFrame(int x, uint32_t frameCount, int width);

// The peak column drawn at pixel x when the cache holds columnCount columns: x clamped to 0..width,
// times columnCount / width in integers; when the counts match, column x is pixel x. -1 for a width
// that is not above 0.
int64_t PeakColumnOfPixel(int x, uint32_t columnCount, int width);

// The play cursor's column for a position fraction (0..1): trunc(fraction * width + 0.5), kept
// within 0..width - 1.
int CursorPixel(double fraction, int width);

// A zoomed view shows frames [first, first + count) of the sound across the width; the whole sound is
// the range {0, frameCount}, and everything below gives for it exactly what the functions above give.
struct FrameRange {
    int64_t first = 0;
    int64_t count = 0;
    int64_t End() const { return first + count; }
    friend bool operator==(const FrameRange&, const FrameRange&) = default;
};

// At the deepest zoom a frame is at least this many pixels wide.
inline constexpr int kMinPixelsPerFrame = 8;
// One zoom step halves or doubles the frames shown.
inline constexpr int kZoomFactor = 2;

// FrameToPixel through the visible range: the column of frame counted from range.first, over
// range.count frames, floor((frame - first) * width / count + 0.5) for a zoomed range (no +1, so the
// mapping goes exactly both ways at every zoom) and FrameToPixel above for the whole sound. A frame
// outside the range lies left of 0 or right of width (far ones at most 2^24 columns away), except
// that a range reaching the sound's end limits frames past it to width as the whole view does. -1 for
// a negative frame, no sound or an empty range.
int FrameToPixel(int64_t frame, FrameRange range, uint32_t frameCount, int width);
// range.first + trunc(range.count * x / width + 0.5) for x the caller clamped to 0..width.
int64_t PixelToFrame(int x, FrameRange range, int width);
// The play cursor's column in a zoomed view: where position begins, within 0..width - 1; -1 when
// the position lies outside [first, End()] and the cursor is not shown.
int CursorPixel(int64_t position, FrameRange range, int width);

// The fewest frames a view of width may show of a sound of frameCount frames.
int64_t DeepestZoomCount(uint32_t frameCount, int width);
// range kept within the sound: count within DeepestZoomCount .. frameCount (0 without a sound),
// first within 0 .. frameCount - count.
FrameRange ClampRange(FrameRange range, uint32_t frameCount, int width);
// steps zoom steps in (positive) or out (negative) from range, the frame anchorFrame staying at
// column anchorX; clamped as ClampRange does.
FrameRange ZoomRange(FrameRange range, uint32_t frameCount, int width, int steps, int anchorX, int64_t anchorFrame);

// Which selection edge a button press at x takes: the one within 2 pixels of x, the nearer when both
// are; at equal distances the start. Only meaningful while there is a selection.
struct EdgeGrab {
    bool start = false;
    bool end = false;
    bool Any() const { return start || end; }
};
EdgeGrab HitTestEdges(int x, int startPixel, int endPixel);

// Within 2 pixels of either edge: where the selection-edge cursor shows.
bool IsNearEdge(int x, int startPixel, int endPixel);

}  // namespace brindle

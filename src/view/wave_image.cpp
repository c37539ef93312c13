#include "view/wave_image.h"

#include <QPainter>
#include <QPolygon>

#include <algorithm>
#include <cstring>

#include "view/peak_cache.h"
#include "view/view_colors.h"
#include "view/waveform_geometry.h"

namespace brindle {

namespace {

void FillRows(QImage& image, int top, int bottom, Rgb colour)
{
    if (top >= bottom)
        return;
    uchar* first = image.scanLine(top);
    for (int x = 0; x < image.width(); ++x) {
        first[3 * x] = colour.red;
        first[3 * x + 1] = colour.green;
        first[3 * x + 2] = colour.blue;
    }
    const size_t rowBytes = size_t(image.width()) * 3;
    for (int y = top + 1; y < bottom; ++y)
        std::memcpy(image.scanLine(y), first, rowBytes);
}

// A strip of a view deeper than a frame a column: the frames' samples joined by lines, each frame's
// own place marked by a square once the frames lie that far apart. Drawn on a 32-bit copy of the
// strip, where the painter's lines are several times faster than on 24 bits, then copied back.
// A value as drawn: at gain 1 exactly as it always was, zoomed limited to the strip.
float Scaled(float value, float gain) { return gain == 1.0f ? value : std::clamp(value * gain, -1.0f, 1.0f); }

void DrawPoints(QImage& image, const std::vector<WavePoint>& points, int top, int bottom, const WaveStyle& style)
{
    const int half = (bottom - top) / 2;
    QPolygon line;
    line.reserve(qsizetype(points.size()));
    for (const WavePoint& point : points) {
        const float value = std::clamp(point.value * style.gain, -1.0f, 1.0f);  // NaN is kept and drawn as silence
        line << QPoint(point.x, half - (value == value ? int(value * float(half)) : 0));
    }
    const QColor colour(style.line.red, style.line.green, style.line.blue);
    QImage strip(image.width(), bottom - top, QImage::Format_RGB32);
    if (strip.isNull())
        return;
    strip.fill(QColor(style.background.red, style.background.green, style.background.blue));
    {
        QPainter painter(&strip);
        painter.setPen(QPen(colour, 0));
        painter.drawPolyline(line);
        if (points.size() >= 2 && points[1].x - points[0].x >= kPointMarkSpacing) {
            for (const QPoint& at : line)
                painter.fillRect(at.x() - 1, at.y() - 1, 3, 3, colour);
        }
    }
    strip.convertTo(QImage::Format_RGB888);
    const size_t rowBytes = size_t(image.width()) * 3;
    for (int y = 0; y < strip.height(); ++y)
        std::memcpy(image.scanLine(top + y), strip.constScanLine(y), rowBytes);
}

void DrawStrip(QImage& image, const PeakCache& cache, int channel, int top, int bottom, const WaveStyle& style)
{
    FillRows(image, top, bottom, style.background);
    if (cache.IsEmpty() || top >= bottom)
        return;
    if (cache.HasPoints()) {
        DrawPoints(image, cache.Points(channel), top, bottom, style);
        return;
    }
    const int width = image.width();
    const int half = (bottom - top) / 2;
    const int centre = top + half;
    const uint32_t columns = cache.ColumnCount();
    const qsizetype stride = image.bytesPerLine();
    uchar* const bits = image.bits();
    for (int x = 0; x < width; ++x) {
        const PeakColumn peak = cache.At(channel, PeakColumnOfPixel(x, columns, width));
        // Float products truncated toward zero, as the line ends were always computed.
        const int from = std::max(top, centre - int(Scaled(peak.max, style.gain) * float(half)));
        const int to = std::min(bottom, std::max(centre - int(Scaled(peak.min, style.gain) * float(half)), centre + 1));
        uchar* pixel = bits + qsizetype(from) * stride + 3 * x;
        for (int y = from; y < to; ++y, pixel += stride) {
            pixel[0] = style.line.red;
            pixel[1] = style.line.green;
            pixel[2] = style.line.blue;
        }
    }
}

}  // namespace

QImage BuildWaveImage(const PeakCache& cache, int width, int height, const WaveStyle& style)
{
    if (width <= 0 || height <= 0)
        return {};
    QImage image(width, height, QImage::Format_RGB888);
    if (image.isNull())
        return image;
    if (cache.IsMono()) {
        DrawStrip(image, cache, 0, 0, height, style);
    } else {
        const int mid = height / 2;
        DrawStrip(image, cache, 0, 0, mid, style);
        FillRows(image, mid, mid + 1, style.separator);
        DrawStrip(image, cache, 1, mid + 1, height, style);
    }
    return image;
}

}  // namespace brindle

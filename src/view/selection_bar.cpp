#include "view/selection_bar.h"

#include <QPainter>

#include <algorithm>

#include "playback/playback_engine.h"
#include "view/waveform_view.h"

namespace brindle {

namespace {

void FillRect(QImage& image, int left, int top, int right, int bottom, Rgb colour)
{
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, image.width());
    bottom = std::min(bottom, image.height());
    for (int y = top; y < bottom; ++y) {
        uchar* pixel = image.scanLine(y) + 3 * left;
        for (int x = left; x < right; ++x, pixel += 3) {
            pixel[0] = colour.red;
            pixel[1] = colour.green;
            pixel[2] = colour.blue;
        }
    }
}

QImage LoadMarker(const QString& path)
{
    return QImage(path).convertToFormat(QImage::Format_RGB888);
}

}  // namespace

void ColorKeyDraw(QImage& target, const QImage& source, int x, int y)
{
    const QImage pixels = source.format() == QImage::Format_RGB888 ? source : source.convertToFormat(QImage::Format_RGB888);
    for (int row = 0; row < pixels.height(); ++row) {
        const int ty = y + row;
        if (ty < 0 || ty >= target.height())
            continue;
        const uchar* from = pixels.constScanLine(row);
        uchar* to = target.scanLine(ty);
        for (int column = 0; column < pixels.width(); ++column) {
            const int tx = x + column;
            const uchar* p = from + 3 * column;
            if (tx < 0 || tx >= target.width() ||
                (p[0] == colors::kColorKey.red && p[1] == colors::kColorKey.green && p[2] == colors::kColorKey.blue))
                continue;
            std::copy(p, p + 3, to + 3 * tx);
        }
    }
}

void PaintSelectionBar(QImage& target, Rgb face, const SelectionBarState& state, const QImage& startMarker,
                       const QImage& endMarker)
{
    const int width = target.width();
    const int height = target.height();
    if (width <= 0 || height <= 0)
        return;
    constexpr int m = SelectionBar::kMargin;
    FillRect(target, 0, 0, width, height, face);
    FillRect(target, m, 0, width - m, height, BlendColor(face, colors::kWhite, 128));
    FillRect(target, m, height - 1, width - m, height, BlendColor(face, colors::kBlack, 32));

    const int waveWidth = width - 2 * m;
    auto barX = [&](int x) { return x < 0 ? m : x > waveWidth ? width - m : x + m; };
    auto drawable = [&](int x) { return x >= 0 && x <= waveWidth; };
    if (drawable(state.startPixel))
        ColorKeyDraw(target, startMarker, barX(state.startPixel) - m, 0);  // its right edge on the start
    if (drawable(state.endPixel))
        ColorKeyDraw(target, endMarker, barX(state.endPixel), 0);
    if (state.hasSelection)
        FillRect(target, barX(state.startPixel), 1, barX(state.endPixel), height - 2, colors::kSelectionBand);
}

SelectionBar::SelectionBar(const PlaybackEngine& engine, const WaveformView& waveform, QWidget* parent)
    : QWidget(parent), engine_(engine), waveform_(waveform)
{
    setObjectName(QStringLiteral("VeSelectionBar"));
    setAccessibleName(tr("Полоса выделения"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    // It takes no keys, but a click here, as in the waveform, must take the focus from an edit button.
    setFocusPolicy(Qt::ClickFocus);
    setFixedHeight(kHeight);
    startMarker_ = LoadMarker(QStringLiteral(":/view/selection-start.xpm"));
    endMarker_ = LoadMarker(QStringLiteral(":/view/selection-end.xpm"));
}

SelectionBarState SelectionBar::State() const
{
    SelectionBarState state;
    state.startPixel = waveform_.FrameToPixel(engine_.selectionStart);
    state.endPixel = waveform_.FrameToPixel(engine_.selectionEnd);
    state.hasSelection = engine_.HasSelection();
    return state;
}

void SelectionBar::paintEvent(QPaintEvent*)
{
    if (width() <= 0 || height() <= 0)
        return;
    if (frame_.size() != size())
        frame_ = QImage(size(), QImage::Format_RGB888);
    if (frame_.isNull())
        return;
    const QColor face = palette().color(QPalette::Button);
    PaintSelectionBar(frame_, Rgb{uint8_t(face.red()), uint8_t(face.green()), uint8_t(face.blue())}, State(),
                      startMarker_, endMarker_);
    QPainter(this).drawImage(0, 0, frame_);
}

}  // namespace brindle

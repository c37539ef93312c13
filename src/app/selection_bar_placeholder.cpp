#include "app/selection_bar_placeholder.h"

#include <QPainter>

#include "app/waveform_placeholder.h"
#include "playback/playback_engine.h"

namespace brindle {

SelectionBarPlaceholder::SelectionBarPlaceholder(const PlaybackEngine& engine, const WaveformPlaceholder& waveform,
                                                 QWidget* parent)
    : QWidget(parent), engine_(engine), waveform_(waveform)
{
    setObjectName(QStringLiteral("VeSelectionBar"));
    setAccessibleName(QStringLiteral("Полоса выделения"));
    setFixedHeight(9);
}

void SelectionBarPlaceholder::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QColor face = palette().color(QPalette::Window);
    painter.fillRect(rect(), face);
    painter.fillRect(rect().adjusted(0, 0, 0, -1), face.lighter(115));
    painter.fillRect(QRect(0, height() - 1, width(), 1), face.darker(115));
    if (engine_.HasSelection()) {
        const int from = waveform_.FrameToPixel(engine_.selectionStart);
        const int to = waveform_.FrameToPixel(engine_.selectionEnd);
        painter.fillRect(QRect(from, 1, std::max(1, to - from), height() - 2), QColor(87, 191, 101));
    }
}

}  // namespace brindle

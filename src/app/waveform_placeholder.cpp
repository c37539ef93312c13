#include "app/waveform_placeholder.h"

#include <QPainter>

#include "document/document.h"
#include "playback/playback_engine.h"

namespace brindle {

WaveformPlaceholder::WaveformPlaceholder(const Document& document, const PlaybackEngine& engine, QWidget* parent)
    : QWidget(parent), document_(document), engine_(engine)
{
    setObjectName(QStringLiteral("VeWaveform"));
    setAccessibleName(QStringLiteral("Звуковая волна"));
    setMinimumHeight(60);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

int WaveformPlaceholder::FrameToPixel(int64_t frame) const
{
    const uint32_t frames = document_.IsEmpty() ? 0 : document_.ActiveBuffer().FrameCount();
    if (frame < 0 || frames == 0)
        return -1;
    return int(double(frame) * (width() - 1) / double(frames));
}

void WaveformPlaceholder::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(20, 24, 28));
    if (document_.IsEmpty())
        return;
    const int lanes = document_.ActiveBuffer().IsStereo() ? 2 : 1;
    const int laneHeight = height() / lanes;
    painter.setPen(QColor(60, 140, 90));
    for (int lane = 0; lane < lanes; ++lane) {
        const int middle = lane * laneHeight + laneHeight / 2;
        painter.drawLine(0, middle, width(), middle);
    }
    if (engine_.HasSelection()) {
        const int from = FrameToPixel(engine_.selectionStart);
        const int to = FrameToPixel(engine_.selectionEnd);
        painter.fillRect(QRect(from, 0, std::max(1, to - from), height()), QColor(87, 191, 101, 90));
    }
    painter.setPen(QColor(240, 240, 240));
    const int cursor = FrameToPixel(engine_.GetPosition());
    painter.drawLine(cursor, 0, cursor, height());
}

}  // namespace brindle

#include "view/time_ruler.h"

#include <QPainter>

#include "view/ruler_ticks.h"
#include "view/waveform_view.h"

namespace brindle {

TimeRuler::TimeRuler(const WaveformView& waveform, QWidget* parent)
    : QWidget(parent), waveform_(waveform)
{
    setObjectName(QStringLiteral("VeTimeRuler"));
    setAccessibleName(tr("Линейка времени"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    QFont small = font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    setFont(small);
}

void TimeRuler::SetSampleRate(uint32_t sampleRate)
{
    if (sampleRate == sampleRate_)
        return;
    sampleRate_ = sampleRate;
    update();
}

void TimeRuler::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Button));
    const uint32_t frames = waveform_.FrameCount();
    if (frames == 0 || sampleRate_ == 0)
        return;
    int64_t labelStep = 0;
    const std::vector<RulerTick> ticks =
        RulerTicks(waveform_.VisibleRange(), frames, sampleRate_, width(), kLabelSpacing, &labelStep);
    painter.setPen(palette().color(QPalette::ButtonText));
    const int bottom = height() - 1;
    for (const RulerTick& tick : ticks) {
        painter.drawLine(tick.x, bottom, tick.x, bottom - (tick.labelled ? 6 : 2));
        if (tick.labelled)
            painter.drawText(tick.x + 2, bottom - 5, QString::fromStdString(RulerLabel(tick.ms, labelStep)));
    }
    painter.drawLine(0, bottom, width() - 1, bottom);
}

}  // namespace brindle

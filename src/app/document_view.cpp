#include "app/document_view.h"

#include <QEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

#include "app/edit_button_panel.h"
#include "app/wait_cursor.h"
#include "document/document.h"
#include "view/selection_bar.h"
#include "view/time_ruler.h"
#include "view/waveform_view.h"

namespace brindle {

DocumentView::DocumentView(const Document& document, PlaybackEngine& engine, QWidget* parent)
    : QWidget(parent), document_(document)
{
    setObjectName(QStringLiteral("VeView"));
    setAccessibleName(tr("Документ"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    waveform_ = new WaveformView(document, engine, this);
    selectionBar_ = new SelectionBar(engine, *waveform_, this);
    ruler_ = new TimeRuler(*waveform_, this);
    editPanel_ = new EditButtonPanel(this);
    scrollBar_ = new QScrollBar(Qt::Horizontal, this);
    scrollBar_->setObjectName(QStringLiteral("VeScrollBar"));
    scrollBar_->setAccessibleName(tr("Прокрутка"));
    scrollBar_->hide();
    connect(scrollBar_, &QScrollBar::valueChanged, this, [this](int value) {
        waveform_->ScrollTo(int64_t(value) * scrollUnit_);
    });
    connect(waveform_, &WaveformView::visibleRangeChanged, this, [this] {
        SyncScrollBar();
        selectionBar_->RepaintNow();
        ruler_->update();
    });
    // The window's focus, when the view is shown, goes to the waveform rather than to a button.
    setFocusProxy(waveform_);
    waveform_->installEventFilter(this);
    selectionBar_->installEventFilter(this);
    connect(waveform_, &WaveformView::selectionDragged, this, [this] {
        Refresh(false);
        emit selectionDragged();
    });
}

void DocumentView::ClearPeaks() { waveform_->ClearPeaks(); }

void DocumentView::RebuildPeaks()
{
    LayOut();
    WaitCursor waitCursor;
    waveform_->RebuildPeaks();
    SyncScrollBar();
    SyncRuler();
}

void DocumentView::SyncScrollBar()
{
    const bool zoomed = waveform_->IsZoomed();
    if (zoomed) {
        const FrameRange range = waveform_->VisibleRange();
        const int64_t frames = waveform_->FrameCount();
        scrollUnit_ = std::max<int64_t>(1, frames / (int64_t(1) << 30) + 1);
        const QSignalBlocker quiet(scrollBar_);
        scrollBar_->setRange(0, int((frames - range.count) / scrollUnit_));
        scrollBar_->setPageStep(int(std::max<int64_t>(1, range.count / scrollUnit_)));
        scrollBar_->setSingleStep(int(std::max<int64_t>(1, range.count / 10 / scrollUnit_)));
        scrollBar_->setValue(int(range.first / scrollUnit_));
    }
    if (zoomed == scrollBar_->isHidden()) {
        scrollBar_->setVisible(zoomed);
        LayOut();
    }
}

void DocumentView::SyncRuler()
{
    ruler_->SetSampleRate(document_.IsEmpty() ? 0 : document_.ActiveBuffer().channels.SampleRate());
    ruler_->update();
}

void DocumentView::Refresh(bool clear)
{
    SyncScrollBar();
    if (clear)
        SyncRuler();
    if (clear)
        waveform_->ClearPeaks();
    waveform_->RepaintNow();
    selectionBar_->RepaintNow();
}

void DocumentView::SetDocumentBusy(bool busy) { waveform_->SetDocumentBusy(busy); }

bool DocumentView::IsFocusOnSound() const { return waveform_->hasFocus() || selectionBar_->hasFocus(); }

bool DocumentView::eventFilter(QObject* watched, QEvent* event)
{
    // The waveform paints every one of its pixels from its picture; the focus shows on the view's
    // edge around it instead, which is all that needs repainting.
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut)
        update(QRegion(rect()) - QRegion(rect().adjusted(1, 1, -1, -1)));
    return QWidget::eventFilter(watched, event);
}

void DocumentView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    LayOut();
    // A wider waveform may hold a deeper zoom than the narrower one allowed, and the other way round.
    SyncScrollBar();
}

void DocumentView::LayOut()
{
    // Inside the 1-pixel edge: the panel keeps its size at the bottom, centred; the waveform fills
    // the rest above it, inset so that the bar's end markers have room beside it; the bar lies
    // directly under the waveform, as wide as the view.
    const QRect inner = rect().adjusted(1, 1, -1, -1);
    const int innerWidth = inner.width();
    const QSize panel = editPanel_->sizeHint();
    const int panelTop = inner.top() + inner.height() - panel.height();
    editPanel_->setGeometry(inner.left() + std::max(0, (innerWidth - panel.width()) / 2), panelTop, panel.width(),
                            panel.height());

    const int scrollHeight = !scrollBar_->isHidden() ? scrollBar_->sizeHint().height() : 0;
    const int rulerHeight = TimeRuler::kHeight;
    int waveHeight = std::max(0, panelTop - SelectionBar::kHeight - scrollHeight - rulerHeight - inner.top());
    // An odd height puts the stereo separator, or the mono centre line, on one middle row.
    if (waveHeight > 2 && waveHeight % 2 == 0)
        --waveHeight;
    const int waveTop = inner.top() + rulerHeight;
    waveform_->setGeometry(inner.left() + SelectionBar::kMargin, waveTop,
                           std::max(0, innerWidth - 2 * SelectionBar::kMargin), waveHeight);
    ruler_->setGeometry(waveform_->x(), inner.top(), waveform_->width(), rulerHeight);
    scrollBar_->setGeometry(waveform_->x(), waveTop + waveHeight, waveform_->width(), scrollHeight);
    selectionBar_->setGeometry(inner.left(), waveTop + waveHeight + scrollHeight, innerWidth,
                               SelectionBar::kHeight);
}

void DocumentView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Button));
    // A thin sunken edge, in the highlight colour while the keys go to the sound.
    const bool focused = IsFocusOnSound();
    painter.setPen(palette().color(focused ? QPalette::Highlight : QPalette::Mid));
    painter.drawLine(0, 0, width() - 1, 0);
    painter.drawLine(0, 0, 0, height() - 1);
    painter.setPen(palette().color(focused ? QPalette::Highlight : QPalette::Light));
    painter.drawLine(1, height() - 1, width() - 1, height() - 1);
    painter.drawLine(width() - 1, 1, width() - 1, height() - 1);
}

}  // namespace brindle

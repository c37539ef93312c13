#include "app/document_view.h"

#include <QEvent>
#include <QPainter>

#include <algorithm>

#include "app/edit_button_panel.h"
#include "app/wait_cursor.h"
#include "view/selection_bar.h"
#include "view/waveform_view.h"

namespace brindle {

DocumentView::DocumentView(const Document& document, PlaybackEngine& engine, QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("VeView"));
    setAccessibleName(tr("Документ"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    waveform_ = new WaveformView(document, engine, this);
    selectionBar_ = new SelectionBar(engine, *waveform_, this);
    editPanel_ = new EditButtonPanel(this);
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
}

void DocumentView::Refresh(bool clear)
{
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

    int waveHeight = std::max(0, panelTop - SelectionBar::kHeight - inner.top());
    // An odd height puts the stereo separator, or the mono centre line, on one middle row.
    if (waveHeight > 2 && waveHeight % 2 == 0)
        --waveHeight;
    waveform_->setGeometry(inner.left() + SelectionBar::kMargin, inner.top(),
                           std::max(0, innerWidth - 2 * SelectionBar::kMargin), waveHeight);
    selectionBar_->setGeometry(inner.left(), inner.top() + waveHeight, innerWidth, SelectionBar::kHeight);
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

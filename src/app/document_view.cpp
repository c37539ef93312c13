#include "app/document_view.h"

#include <QVBoxLayout>

#include "app/edit_button_panel.h"
#include "app/selection_bar_placeholder.h"
#include "app/waveform_placeholder.h"

namespace brindle {

DocumentView::DocumentView(const Document& document, const PlaybackEngine& engine, QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("VeView"));
    setAccessibleName(QStringLiteral("Документ"));
    waveform_ = new WaveformPlaceholder(document, engine, this);
    selectionBar_ = new SelectionBarPlaceholder(engine, *waveform_, this);
    editPanel_ = new EditButtonPanel(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(waveform_, 1);
    layout->addWidget(selectionBar_);
    layout->addWidget(editPanel_);
}

void DocumentView::ClearPeaks() { waveform_->update(); }

void DocumentView::RebuildPeaks() { waveform_->repaint(); }

void DocumentView::Refresh(bool clear)
{
    if (clear)
        ClearPeaks();
    waveform_->update();
    selectionBar_->update();
}

}  // namespace brindle

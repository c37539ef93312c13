// The pane shown while a sound is open: the time ruler, the waveform, the selection bar under it and
// the edit panel centred at the bottom. While the waveform is zoomed a scroll bar lies between it and the bar.
#pragma once

#include <QWidget>

class QScrollBar;

namespace brindle {

class Document;
class EditButtonPanel;
class PlaybackEngine;
class SelectionBar;
class TimeRuler;
class WaveformView;

class DocumentView : public QWidget {
    Q_OBJECT

public:
    DocumentView(const Document& document, PlaybackEngine& engine, QWidget* parent = nullptr);

    EditButtonPanel* EditPanel() const { return editPanel_; }
    WaveformView* Waveform() const { return waveform_; }
    SelectionBar* Bar() const { return selectionBar_; }
    QScrollBar* ScrollBar() const { return scrollBar_; }
    TimeRuler* Ruler() const { return ruler_; }

    // The peaks of the present sound are gone (it was closed or is about to change).
    void ClearPeaks();
    // Peaks for the sound just opened, at once, under the wait cursor.
    void RebuildPeaks();
    // Repaints the waveform and the selection bar at once; clearing also drops the peaks (after an
    // edit changed the samples).
    void Refresh(bool clear);
    // While a load or save runs the Document belongs to the worker: the view does not read it.
    void SetDocumentBusy(bool busy);

signals:
    // A drag in the waveform moved the selection or the position; the view has repainted.
    void selectionDragged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Places the children; also before a rebuild, since a hidden view gets its resize event late.
    void LayOut();
    // The waveform or its bar holds the keyboard focus: the view's edge shows it.
    bool IsFocusOnSound() const;
    // The scroll bar in step with the waveform's visible range, shown only while zoomed.
    void SyncScrollBar();
    // The ruler's rate from the sound, and its ticks repainted.
    void SyncRuler();

    const Document& document_;
    WaveformView* waveform_ = nullptr;
    TimeRuler* ruler_ = nullptr;
    SelectionBar* selectionBar_ = nullptr;
    QScrollBar* scrollBar_ = nullptr;
    // Frames per step of the scroll bar, whose values are ints: 1 unless the sound is longer than that.
    int64_t scrollUnit_ = 1;
    EditButtonPanel* editPanel_ = nullptr;
};

}  // namespace brindle

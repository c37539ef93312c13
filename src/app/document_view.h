// The pane shown while a sound is open: the waveform, the selection bar under it and the edit panel.
#pragma once

#include <QWidget>

namespace brindle {

class Document;
class EditButtonPanel;
class PlaybackEngine;
class SelectionBarPlaceholder;
class WaveformPlaceholder;

class DocumentView : public QWidget {
    Q_OBJECT

public:
    DocumentView(const Document& document, const PlaybackEngine& engine, QWidget* parent = nullptr);

    EditButtonPanel* EditPanel() const { return editPanel_; }
    WaveformPlaceholder* Waveform() const { return waveform_; }
    SelectionBarPlaceholder* SelectionBar() const { return selectionBar_; }

    // The peaks of the present sound are gone (it was closed or is about to change).
    void ClearPeaks();
    // Peaks for the sound just opened, at once.
    void RebuildPeaks();
    // Repaint after a selection or cursor change; clearing also drops the peaks (after an edit).
    void Refresh(bool clear);

private:
    WaveformPlaceholder* waveform_ = nullptr;
    SelectionBarPlaceholder* selectionBar_ = nullptr;
    EditButtonPanel* editPanel_ = nullptr;
};

}  // namespace brindle

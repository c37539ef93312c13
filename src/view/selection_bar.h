// The 9-pixel strip under the waveform that repeats the selection as a green band between two small
// triangular markers. Display only: it takes no input, but a click takes the focus.
#pragma once

#include <QImage>
#include <QWidget>

#include "view/view_colors.h"

namespace brindle {

class PlaybackEngine;
class WaveformView;

// What the bar shows: the waveform columns of the selection's two edges (-1 when unset) and whether
// they form a selection.
struct SelectionBarState {
    int startPixel = -1;
    int endPixel = -1;
    bool hasSelection = false;
};

// Paints the bar into target (its size is the bar's): the track between 7-pixel margins of face
// colour, the track's bottom line, each marker whose edge lies on the waveform (0 .. width - 14), and
// the band between the edges in rows 1 .. height - 3. The markers are 7 x 7 with magenta (255, 0,
// 255) transparent.
void PaintSelectionBar(QImage& target, Rgb face, const SelectionBarState& state, const QImage& startMarker,
                       const QImage& endMarker);

// Copies source onto target at (x, y), leaving target unchanged under every pixel of exactly
// colors::kColorKey; clipped to target.
void ColorKeyDraw(QImage& target, const QImage& source, int x, int y);

class SelectionBar : public QWidget {
    Q_OBJECT

public:
    static constexpr int kHeight = 9;
    // The margin on each side, where the markers of edges at the waveform's ends are drawn; the
    // waveform is inset by as much.
    static constexpr int kMargin = 7;

    SelectionBar(const PlaybackEngine& engine, const WaveformView& waveform, QWidget* parent = nullptr);

    SelectionBarState State() const;
    // Paints at once: after every change of the selection (not on the cursor timer's ticks).
    void RepaintNow() { repaint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    const PlaybackEngine& engine_;
    const WaveformView& waveform_;
    QImage startMarker_;
    QImage endMarker_;
    QImage frame_;  // the bar painted off-screen, then copied in one piece
};

}  // namespace brindle

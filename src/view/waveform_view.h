// The waveform view: the whole open sound at once, one pixel column per slice of it and one strip per
// channel, with the selection shown inverted and the play cursor as a one-pixel cyan column. It takes
// the mouse gestures that move the play position and set the selection.
//
// It can also show a part of the sound (zoomed, down to kMinPixelsPerFrame pixels a frame): every
// mapping between frames and columns then goes through that visible range, the picture is computed
// for the range alone, and the view follows the play cursor page by page while it plays.
//
// The picture comes from a PeakCache of exactly the view's width, derived from a bucket summary of
// the sound (made in one pass over the samples after an open or an edit), so a change of width costs
// milliseconds rather than a pass over every sample. After a resize the old peaks are shown stretched
// until the event loop is idle, then the new ones.
//
// UI thread only. The view reads the Document and changes only the PlaybackEngine's position and
// selection. While a load or save runs (SetDocumentBusy) it reads neither the Document nor its samples
// and paints only from the peaks it already holds.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QWidget>

#include <cstdint>
#include <vector>

#include "view/peak_cache.h"
#include "view/wave_image.h"
#include "view/waveform_geometry.h"

namespace brindle {

class Document;
class PlaybackEngine;

class WaveformView : public QWidget {
    Q_OBJECT

public:
    WaveformView(const Document& document, PlaybackEngine& engine, QWidget* parent = nullptr);

    // Frames and columns across the present width (see waveform_geometry.h); -1 from FrameToPixel for
    // an unset frame or no sound. PixelToFrame clamps x to 0..width first.
    int FrameToPixel(int64_t frame) const;
    int64_t PixelToFrame(int x) const;
    // The sound's frame count, 0 when there is none.
    uint32_t FrameCount() const;

    // The frames shown: {0, FrameCount()} unless zoomed, always within the present sound.
    FrameRange VisibleRange() const;
    bool IsZoomed() const;
    // steps zoom steps in (positive) or out, the frame under column x staying there.
    void ZoomAtPixel(int steps, int x);
    // The same around frame: at its column when it is in view, else in the middle.
    void ZoomAtFrame(int steps, int64_t frame);
    // Back to the whole sound, at the picture's own height.
    void ShowWholeSound();
    // The picture's vertical zoom, in doublings (0 .. kMaxVerticalZoom); the sound is untouched.
    static constexpr int kMaxVerticalZoom = 8;
    int VerticalZoom() const { return verticalZoom_; }
    void ZoomVertically(int steps);
    // Where the MP3 frames lie (step 0: none); drawn faintly in a zoomed view once they are
    // kMinGridSpacing columns apart.
    static constexpr int kMinGridSpacing = 6;
    void SetFrameGrid(uint32_t step, uint32_t phase);
    // The columns the frame grid is drawn at, within the columns [from, to); none when its lines would
    // lie closer than kMinGridSpacing.
    std::vector<int> GridColumns(int from, int to) const;
    // The strips' colours and zoom as the picture is drawn now: the designed colours, or under a dark
    // palette ones taken from it.
    WaveStyle Style() const;
    // Shows frames from first on, as many as now (kept within the sound).
    void ScrollTo(int64_t first);
    // When frame lies outside the view, turns the page: forward so that frame opens the view,
    // backward so that it closes it.
    void RevealFrame(int64_t frame);
    // The width the whole sound would have at the present zoom (limited to INT_MAX): the play
    // cursor's timer moves it one of these pixels a tick.
    int WidthAcrossSound() const;

    // Empties the peaks and drops the picture: the samples changed or went away.
    void ClearPeaks();
    // Peaks and picture for the present sound and width, now (after an open; the caller shows the
    // wait cursor). The summary the load prepared is used as it is.
    void RebuildPeaks();
    // Paints the whole view at once.
    void RepaintNow();
    // A tick of the play cursor: repaints at once the column the cursor left and the one it reached,
    // nothing when it has not moved, so playing costs two columns a tick rather than the whole view.
    void RepaintCursor();
    // The main loop's idle step: when the width no longer matches the peaks, computes them for the
    // new width and repaints. Public so that tests can step it.
    void IdleStep();
    // While true the Document belongs to a worker: no reads of it at all.
    void SetDocumentBusy(bool busy);

    // What a screen reader reads as the view's value: the play position and the selection.
    QString AccessibleValue() const;

    const PeakCache& Peaks() const { return cache_; }
    // The channel strips without selection or cursor; null until a paint or rebuild made them.
    const QImage& WaveImage() const { return image_; }

signals:
    // The selection or position moved under a drag: the selection bar and the time read-outs follow
    // at once (mouse moves do not start the idle step).
    void selectionDragged();
    // The visible range changed (zoom or scroll); the view has repainted itself.
    void visibleRangeChanged();
    // A drag has ended with the edge it moved put shiftFrames away from the pointer by the snapping rule.
    void edgeSnapped(qint64 shiftFrames);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct SoundFacts {
        bool isLoaded = false;     // the Document holds a sound
        uint32_t frameCount = 0;   // 0 unless that sound is valid
    };
    // From the Document, or, while it is busy, as last seen.
    SoundFacts Facts() const;
    void ComputePeaksForWidth();
    // Shows range (clamped): new peaks and picture at once, when it differs from what is shown.
    void SetVisibleRange(FrameRange range);
    // Peaks and picture for the present width; false when the picture cannot be made.
    bool EnsurePicture();
    void SeekToPixel(int x, bool repaintNow);
    // Sets the selection to the two frames in order, whatever it was before.
    void SelectRange(int64_t first, int64_t second);
    void UpdateCursorShape(int x);
    int PlayCursorX() const;

    const Document& document_;
    PlaybackEngine& engine_;
    PeakCache cache_;
    int peaksWidth_ = -1;  // the width the cache was last computed for
    FrameRange peaksRange_;  // and the range
    // The zoomed range as last set; unused while whole_. Kept within the sound as it changes length.
    FrameRange zoom_;
    bool whole_ = true;
    int wheelZoom_ = 0;    // wheel angle not yet a whole zoom step
    int wheelScroll_ = 0;  // the same for scrolling
    int wheelVertical_ = 0;  // and for the vertical zoom
    int verticalZoom_ = 0;
    uint32_t gridStep_ = 0;
    uint32_t gridPhase_ = 0;
    QImage image_;         // the WaveImage: 24-bit, exactly the client size
    QPixmap screenImage_;  // image_ converted once for the screen, so a repaint is one copy
    // The play cursor's column as the screen shows it; -1 when not known (then a tick repaints all).
    int cursorOnScreen_ = -1;
    bool isBusy_ = false;
    mutable SoundFacts facts_;
    QString announced_;  // the value screen readers were last told

    // The drag: where the button went down and which edge, if any, is being moved.
    bool isDragging_ = false;
    int anchorX_ = 0;
    bool grabStart_ = false;
    bool grabEnd_ = false;
    int64_t dragEdgeFrame_ = -1;  // where the pointer asked the moving edge to be; -1 before it moved
};

}  // namespace brindle

#include "view/waveform_view.h"

#include <QAbstractEventDispatcher>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QMouseEvent>
#include <QWheelEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <climits>

#include "document/document.h"
#include "playback/playback_engine.h"
#include "view/time_format.h"
#include "view/view_colors.h"
#include "view/wave_image.h"
#include "view/waveform_geometry.h"

namespace brindle {

namespace {

QColor ToQColor(Rgb colour) { return QColor(colour.red, colour.green, colour.blue); }

// The view as a screen reader sees it: a picture whose value is the position and the selection.
class WaveformAccessible final : public QAccessibleWidget {
public:
    explicit WaveformAccessible(QWidget* widget) : QAccessibleWidget(widget, QAccessible::Graphic) {}
    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Value)
            return static_cast<const WaveformView*>(widget())->AccessibleValue();
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface* MakeWaveformAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1String("brindle::WaveformView") && object && object->isWidgetType())
        return new WaveformAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

}  // namespace

WaveformView::WaveformView(const Document& document, PlaybackEngine& engine, QWidget* parent)
    : QWidget(parent), document_(document), engine_(engine)
{
    setObjectName(QStringLiteral("VeWaveform"));
    setAccessibleName(tr("Звуковая волна"));
    // Every pixel is painted here: no background fill first, so nothing flickers.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    // Moves without a button still arrive, for the selection-edge cursor.
    setMouseTracking(true);
    // A click here takes the focus from whatever had it (an edit button would repeat its edit at the
    // next Space), and Tab reaches it like any other control.
    setFocusPolicy(Qt::StrongFocus);
    if (auto* dispatcher = QAbstractEventDispatcher::instance(thread()))
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &WaveformView::IdleStep);
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(MakeWaveformAccessible);
        return true;
    }();
    (void)factoryInstalled;
}

QString WaveformView::AccessibleValue() const
{
    const uint32_t rate = isBusy_ || document_.IsEmpty() ? 0 : document_.ActiveBuffer().channels.SampleRate();
    if (rate == 0 || FrameCount() == 0)
        return {};
    auto time = [rate](int64_t frame) { return QString::fromStdString(FormatTime(double(frame) * 1000.0 / rate)); };
    const QString position = time(engine_.GetPosition());
    if (!engine_.HasSelection())
        return tr("Позиция %1, без выделения").arg(position);
    return tr("Позиция %1, выделение с %2 по %3")
        .arg(position, time(engine_.selectionStart), time(engine_.selectionEnd));
}

WaveformView::SoundFacts WaveformView::Facts() const
{
    if (!isBusy_) {
        facts_.isLoaded = !document_.IsEmpty();
        const SoundBuffer& buffer = document_.ActiveBuffer();
        facts_.frameCount = facts_.isLoaded && buffer.HasSound() ? buffer.FrameCount() : 0;
    }
    return facts_;
}

uint32_t WaveformView::FrameCount() const { return Facts().frameCount; }

// Through the visible range; for the whole sound these are the whole-sound rules to the bit.
int WaveformView::FrameToPixel(int64_t frame) const
{
    return brindle::FrameToPixel(frame, VisibleRange(), FrameCount(), width());
}

int64_t WaveformView::PixelToFrame(int x) const
{
    return brindle::PixelToFrame(std::clamp(x, 0, std::max(width(), 0)), VisibleRange(), width());
}

FrameRange WaveformView::VisibleRange() const
{
    const uint32_t frames = FrameCount();
    const FrameRange whole{0, frames};
    if (whole_ || frames == 0)
        return whole;
    const FrameRange range = ClampRange(zoom_, frames, width());
    return range.count >= int64_t(frames) ? whole : range;
}

bool WaveformView::IsZoomed() const { return VisibleRange().count < int64_t(FrameCount()); }

void WaveformView::SetVisibleRange(FrameRange range)
{
    const uint32_t frames = FrameCount();
    if (isBusy_ || frames == 0 || width() <= 0)
        return;
    range = ClampRange(range, frames, width());
    const FrameRange before = VisibleRange();
    whole_ = range.count >= int64_t(frames);
    zoom_ = range;
    if (VisibleRange() == before)
        return;
    // At once, not at the idle step: the user waits for this picture and no other. The signal goes
    // first: the scroll bar that comes or goes with the zoom changes the height the picture is made for.
    ComputePeaksForWidth();
    emit visibleRangeChanged();
    EnsurePicture();
    RepaintNow();
}

void WaveformView::ZoomAtPixel(int steps, int x)
{
    x = std::clamp(x, 0, std::max(width(), 0));
    SetVisibleRange(ZoomRange(VisibleRange(), FrameCount(), width(), steps, x, PixelToFrame(x)));
}

void WaveformView::ZoomAtFrame(int steps, int64_t frame)
{
    const int x = FrameToPixel(frame);
    const int w = width();
    const int anchorX = x >= 0 && x <= w ? x : w / 2;
    SetVisibleRange(ZoomRange(VisibleRange(), FrameCount(), w, steps, anchorX, frame));
}

void WaveformView::ShowWholeSound()
{
    SetVisibleRange({0, FrameCount()});
    ZoomVertically(-verticalZoom_);
}

void WaveformView::ZoomVertically(int steps)
{
    const int zoom = std::clamp(verticalZoom_ + steps, 0, kMaxVerticalZoom);
    if (zoom == verticalZoom_)
        return;
    verticalZoom_ = zoom;
    // The peaks stay; only the picture made from them changes.
    image_ = QImage();
    screenImage_ = QPixmap();
    RepaintNow();
}

void WaveformView::SetFrameGrid(uint32_t step, uint32_t phase)
{
    if (step == gridStep_ && phase == gridPhase_)
        return;
    gridStep_ = step;
    gridPhase_ = step ? phase % step : 0;
    update();
}

std::vector<int> WaveformView::GridColumns(int from, int to) const
{
    std::vector<int> columns;
    const FrameRange range = VisibleRange();
    const int w = width();
    // The whole sound keeps its designed picture, however short the sound; the grid is for a close look.
    if (gridStep_ == 0 || !IsZoomed() || range.count <= 0 || w <= 0 ||
        double(gridStep_) * w / double(range.count) < kMinGridSpacing)
        return columns;
    const int64_t step = gridStep_;
    const int64_t first = PixelToFrame(std::max(from, 0));
    int64_t frame = first + ((int64_t(gridPhase_) - first) % step + step) % step;
    for (; frame <= range.End(); frame += step) {
        const int x = FrameToPixel(frame);
        if (x >= to)
            break;
        if (x >= from)
            columns.push_back(x);
    }
    return columns;
}

WaveStyle WaveformView::Style() const
{
    WaveStyle style;
    style.gain = float(1 << verticalZoom_);
    const QPalette& colours = palette();
    // The designed colours belong to a light window; a dark one lends its own.
    if (colours.color(QPalette::Window).lightness() < 128) {
        auto rgb = [](const QColor& c) { return Rgb{uint8_t(c.red()), uint8_t(c.green()), uint8_t(c.blue())}; };
        style.background = rgb(colours.color(QPalette::Base));
        style.line = rgb(colours.color(QPalette::Highlight).lighter(140));
        style.separator = rgb(colours.color(QPalette::Mid));
    }
    return style;
}

void WaveformView::ScrollTo(int64_t first)
{
    if (IsZoomed())
        SetVisibleRange({first, VisibleRange().count});
}

void WaveformView::RevealFrame(int64_t frame)
{
    const FrameRange range = VisibleRange();
    if (!IsZoomed() || (frame >= range.first && frame < range.End()))
        return;
    ScrollTo(frame < range.first ? frame - range.count + 1 : frame);
}

int WaveformView::WidthAcrossSound() const
{
    const FrameRange range = VisibleRange();
    if (range.count <= 0)
        return width();
    return int(std::min<double>(double(width()) * double(FrameCount()) / double(range.count), INT_MAX));
}

void WaveformView::ClearPeaks()
{
    // The Document's summary needs no clearing here: it knows which stores the pieces use.
    cache_.Clear();
    peaksWidth_ = -1;
    peaksRange_ = {};
    image_ = QImage();
    screenImage_ = QPixmap();
}

void WaveformView::ComputePeaksForWidth()
{
    if (isBusy_)
        return;
    image_ = QImage();
    screenImage_ = QPixmap();
    peaksWidth_ = width();
    peaksRange_ = VisibleRange();
    if (!Facts().isLoaded) {
        cache_.Clear();
        return;
    }
    const ChannelSet& channels = document_.ActiveBuffer().channels;
    if (IsZoomed())
        ComputeZoomedPeaks(cache_, document_.Peaks(), channels, peaksRange_.first, peaksRange_.End(), width());
    else
        ComputePeaks(cache_, document_.Peaks(), channels, width());
}

void WaveformView::RebuildPeaks()
{
    // The summary, when there is one, was made from these samples (a load prepares it). A new sound
    // keeps the zoom, shown from its start, where its play position is.
    zoom_.first = 0;
    ClearPeaks();
    ComputePeaksForWidth();
    EnsurePicture();
}

bool WaveformView::EnsurePicture()
{
    // Once per width: a failed pass is not repeated on every paint.
    if (cache_.IsEmpty() && (peaksWidth_ != width() || peaksRange_ != VisibleRange()))
        ComputePeaksForWidth();
    if (image_.isNull()) {
        image_ = BuildWaveImage(cache_, width(), height(), Style());
        if (image_.isNull())
            return false;
        screenImage_ = QPixmap::fromImage(image_);
    }
    return true;
}

void WaveformView::IdleStep()
{
    if (isBusy_ || width() <= 0 || !Facts().isLoaded)
        return;
    // A pass that failed (a read error) leaves the width unfilled; once tried for this width there is
    // nothing new to find, and retrying at every idle step would keep the loop busy.
    // A sound that changed length may have moved a zoomed range; the whole one is always {0, frames}.
    if (peaksRange_ == VisibleRange() && (cache_.ColumnCount() == uint32_t(width()) || peaksWidth_ == width()))
        return;
    ComputePeaksForWidth();
    RepaintNow();
}

void WaveformView::SetDocumentBusy(bool busy)
{
    // Called on the UI thread while nobody else holds the Document: look at it once more, so the
    // busy time shows the sound as it was when the worker took it.
    isBusy_ = false;
    Facts();
    isBusy_ = busy;
}

void WaveformView::RepaintNow()
{
    repaint();
    // Every change of the position or the selection outside playing ends here: the moment to tell.
    const QString value = AccessibleValue();
    if (value != announced_ && QAccessible::isActive()) {
        QAccessibleValueChangeEvent event(this, value);
        QAccessible::updateAccessibility(&event);
    }
    announced_ = value;
}

void WaveformView::RepaintCursor()
{
    // Zoomed, the view turns its page when playing carries the cursor out of it.
    if (!isBusy_ && IsZoomed()) {
        const int64_t position = engine_.GetPosition();
        const FrameRange range = VisibleRange();
        if (position < range.first || position >= range.End()) {
            RevealFrame(position);
            if (VisibleRange() != range)
                return;  // the new page was painted whole
        }
    }
    const int h = height();
    if (cursorOnScreen_ < 0 || image_.isNull()) {
        repaint();
        return;
    }
    const int x = PlayCursorX();
    if (x != cursorOnScreen_)
        repaint(QRegion(cursorOnScreen_, 0, 1, h) + QRegion(x, 0, 1, h));
}

int WaveformView::PlayCursorX() const
{
    double fraction = 0.0;
    if (isBusy_) {
        const uint32_t frames = facts_.frameCount;
        if (frames > 0)
            fraction = double(std::min(frames, uint32_t(engine_.GetPosition()))) / frames;
    } else if (IsZoomed()) {
        return CursorPixel(engine_.GetPosition(), VisibleRange(), width());
    } else {
        fraction = engine_.PositionFraction();
    }
    return CursorPixel(fraction, width());
}

void WaveformView::resizeEvent(QResizeEvent* event)
{
    // The old peaks stay and are drawn stretched until the idle step has the new ones.
    image_ = QImage();
    screenImage_ = QPixmap();
    QWidget::resizeEvent(event);
}

void WaveformView::paintEvent(QPaintEvent* event)
{
    const int w = width();
    const int h = height();
    if (w <= 0 || h <= 0)
        return;
    QPainter painter(this);
    const SoundFacts facts = Facts();
    if (!facts.isLoaded || !EnsurePicture()) {
        painter.fillRect(event->rect(), palette().color(QPalette::Base));
        cursorOnScreen_ = -1;
        return;
    }
    painter.drawPixmap(event->rect().topLeft(), screenImage_, event->rect());
    // The frame grid, faint, where a cut keeps the MP3's frames; before the inversion, which shows
    // it inside the selection too.
    const std::vector<int> grid = GridColumns(event->rect().left(), event->rect().right() + 1);
    if (!grid.empty()) {
        const Rgb line = Style().line;
        painter.setPen(QColor(line.red, line.green, line.blue, 70));
        for (int x : grid)
            painter.drawLine(x, 0, x, h - 1);
    }

    if (engine_.HasSelection()) {
        const int from = FrameToPixel(engine_.selectionStart);
        const int to = FrameToPixel(engine_.selectionEnd);
        if (to > from) {
            painter.setCompositionMode(QPainter::RasterOp_NotDestination);
            painter.fillRect(QRect(from, 0, to - from, h), Qt::black);
            painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        }
    }
    // After the inversion, so the cursor is never inverted.
    const int cursorX = PlayCursorX();
    painter.fillRect(QRect(cursorX, 0, 1, h), ToQColor(colors::kPlayCursor));

    // Where the screen's cursor is now, for the next tick. A paint that covered neither the old nor
    // the new cursor column fully (a partial expose while the cursor moved) leaves that unknown, and
    // the whole view is repainted to be sure.
    const QRegion& painted = event->region();
    auto covers = [&](int x) { return x >= 0 && (QRegion(x, 0, 1, h) - painted).isEmpty(); };
    const bool whole = (QRegion(rect()) - painted).isEmpty();
    if (covers(cursorX) && (whole || cursorOnScreen_ == cursorX || covers(cursorOnScreen_))) {
        cursorOnScreen_ = cursorX;
    } else if (cursorOnScreen_ != cursorX) {
        cursorOnScreen_ = -1;
        update();
    }
}

void WaveformView::SeekToPixel(int x, bool repaintNow)
{
    const int w = width();
    if (w <= 0)
        return;
    if (IsZoomed())
        engine_.SetPosition(PixelToFrame(x), FrameCount());
    else
        engine_.SeekFraction(double(std::clamp(x, 0, w)) / double(w));
    if (repaintNow)
        RepaintNow();
}

void WaveformView::SelectRange(int64_t first, int64_t second)
{
    // The setters order the two edges; clearing first keeps the old selection out of that ordering,
    // so a new drag never inherits an edge of the range it replaces.
    const uint32_t frames = FrameCount();
    engine_.Deselect();
    engine_.SetSelectionStart(first, frames);
    engine_.SetSelectionEnd(second, frames);
}

void WaveformView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    const int x = int(event->position().x());
    isDragging_ = true;
    dragEdgeFrame_ = -1;
    grabStart_ = grabEnd_ = false;
    anchorX_ = x;
    unsetCursor();  // a drag shows the plain arrow
    if (engine_.HasSelection()) {
        const EdgeGrab grab =
            HitTestEdges(x, FrameToPixel(engine_.selectionStart), FrameToPixel(engine_.selectionEnd));
        grabStart_ = grab.start;
        grabEnd_ = grab.end;
    }
    // A click away from the edges moves the play position only; the selection stays.
    if (!grabStart_ && !grabEnd_)
        SeekToPixel(x, true);
}

void WaveformView::mouseMoveEvent(QMouseEvent* event)
{
    const int x = int(event->position().x());
    if (!isDragging_) {
        UpdateCursorShape(x);
        return;
    }
    const uint32_t frames = FrameCount();
    dragEdgeFrame_ = PixelToFrame(x);
    if (grabStart_) {
        const int endX = FrameToPixel(engine_.selectionEnd);
        if (endX < x) {
            // Crossed the end: the end comes back from its column and the drag moves the end now.
            grabStart_ = false;
            grabEnd_ = true;
            SelectRange(PixelToFrame(endX), PixelToFrame(x));
        } else {
            engine_.SetSelectionStart(PixelToFrame(x), frames);
        }
    } else if (grabEnd_) {
        const int startX = FrameToPixel(engine_.selectionStart);
        if (startX < x) {
            engine_.SetSelectionEnd(PixelToFrame(x), frames);
        } else {
            grabStart_ = true;
            grabEnd_ = false;
            SelectRange(PixelToFrame(x), PixelToFrame(startX));
        }
    } else {
        // The play position follows the mouse (a running playback restarts there).
        SeekToPixel(x, false);
        SelectRange(PixelToFrame(anchorX_), PixelToFrame(x));
    }
    emit selectionDragged();
}

void WaveformView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    isDragging_ = false;
    UpdateCursorShape(int(event->position().x()));
    // Said once the drag is over, not at every move: the status bar would flicker.
    if (dragEdgeFrame_ >= 0) {
        const int64_t shift = engine_.Snapped(dragEdgeFrame_, FrameCount()) - dragEdgeFrame_;
        dragEdgeFrame_ = -1;
        if (shift != 0)
            emit edgeSnapped(shift);
    }
}

void WaveformView::wheelEvent(QWheelEvent* event)
{
    // Shift turns the wheel sideways on some systems and not on others: either axis scrolls.
    const QPoint angle = event->angleDelta();
    const int delta = angle.y() != 0 ? angle.y() : angle.x();
    constexpr int kNotch = 120;
    if ((event->modifiers() & Qt::ControlModifier) && (event->modifiers() & Qt::ShiftModifier)) {
        wheelVertical_ += delta;
        const int steps = wheelVertical_ / kNotch;
        wheelVertical_ -= steps * kNotch;
        if (steps != 0)
            ZoomVertically(steps);
    } else if (event->modifiers() & Qt::ControlModifier) {
        wheelZoom_ += delta;
        const int steps = wheelZoom_ / kNotch;
        wheelZoom_ -= steps * kNotch;
        if (steps != 0)
            ZoomAtPixel(steps, int(event->position().x()));
    } else if (IsZoomed()) {
        // A notch turns a tenth of the page, up (or left) moving toward the start.
        wheelScroll_ += delta;
        const FrameRange range = VisibleRange();
        const int64_t frames = int64_t(double(range.count) * double(wheelScroll_) / (10.0 * kNotch));
        if (frames != 0) {
            wheelScroll_ = 0;
            ScrollTo(range.first - frames);
        }
    }
    event->accept();
}

void WaveformView::changeEvent(QEvent* event)
{
    // A new palette (a dark theme switched on) may mean new colours for the picture.
    if (event->type() == QEvent::PaletteChange) {
        image_ = QImage();
        screenImage_ = QPixmap();
        update();
    }
    QWidget::changeEvent(event);
}

void WaveformView::UpdateCursorShape(int x)
{
    const bool nearEdge = engine_.HasSelection() &&
                          IsNearEdge(x, FrameToPixel(engine_.selectionStart), FrameToPixel(engine_.selectionEnd));
    if (nearEdge && cursor().shape() != Qt::SplitHCursor)
        setCursor(Qt::SplitHCursor);
    else if (!nearEdge && testAttribute(Qt::WA_SetCursor))
        unsetCursor();
}

}  // namespace brindle

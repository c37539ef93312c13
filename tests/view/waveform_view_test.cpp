// The waveform view and the selection bar as real widgets under the offscreen platform: what they
// paint, how a resize recomputes the peaks, and what the mouse does to the position and selection.
#include <QFile>
#include <QPainter>
#include <QPaintEvent>
#include <QScreen>
#include <QSignalSpy>
#include <QWheelEvent>

#include <cmath>
#include <cstring>
#include <memory>

#include "../app/gui_test_support.h"
#include "document/document.h"
#include "edit/column_peaks.h"
#include "playback/playback_engine.h"
#include "view/selection_bar.h"
#include "view/view_colors.h"
#include "view/wave_image.h"
#include "view/waveform_view.h"

namespace brindle {
namespace {

Rgb At(const QImage& image, int x, int y)
{
    const QRgb p = image.pixel(x, y);
    return {uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))};
}

Rgb Inverted(Rgb c) { return {uint8_t(255 - c.red), uint8_t(255 - c.green), uint8_t(255 - c.blue)}; }

bool spans(int64_t frames, int width) { return frames < 2 * int64_t(width); }

QString Describe(Rgb c) { return QStringLiteral("(%1, %2, %3)").arg(c.red).arg(c.green).arg(c.blue); }

// Counts the paints a widget receives and keeps the region of each.
class PaintCounter : public QObject {
public:
    int paints = 0;
    QList<QRegion> regions;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            regions << static_cast<QPaintEvent*>(event)->region();
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

class WaveformViewTest : public QObject {
    Q_OBJECT

private:
    QString stereo_;  // 2 s: left channel silent, right a sine at half scale
    QString shortMono_;  // 150 frames, fewer than the view's columns
    Document document_;
    PlaybackEngine engine_;
    std::unique_ptr<WaveformView> view_;
    std::unique_ptr<SelectionBar> bar_;

    uint32_t Frames() const { return document_.ActiveBuffer().FrameCount(); }
    QImage Grab() { return view_->grab().toImage().convertToFormat(QImage::Format_RGB888); }
    void Open(const QString& path)
    {
        QVERIFY(document_.Load(path.toStdString()));
        engine_.Clear();
        view_->RebuildPeaks();
    }
    void Press(int x) { QTest::mousePress(view_.get(), Qt::LeftButton, {}, QPoint(x, 40)); }
    void Move(int x) { QTest::mouseMove(view_.get(), QPoint(x, 40)); }
    void Release(int x) { QTest::mouseRelease(view_.get(), Qt::LeftButton, {}, QPoint(x, 40)); }
    int64_t FrameAt(int x) const { return view_->PixelToFrame(x); }
    void Select(int64_t start, int64_t end)
    {
        engine_.Deselect();
        engine_.SetSelectionStart(start, Frames());
        engine_.SetSelectionEnd(end, Frames());
    }

private slots:
    void initTestCase()
    {
        // Arguments split before the path goes in, so a temporary folder with spaces still works.
        auto sox = [](const QString& path, const QString& before, const QString& after) {
            return test::RunTool(QStringLiteral("sox"),
                                 before.split(QLatin1Char(' ')) + QStringList{path} + after.split(QLatin1Char(' ')));
        };
        stereo_ = test::ScratchDir() + QStringLiteral("/left-silent.wav");
        QVERIFY(sox(stereo_, QStringLiteral("-r 44100 -n -b 16 -c 2"),
                    QStringLiteral("synth 2 sine 440 vol 0.5 remix 0 1")));
        shortMono_ = test::ScratchDir() + QStringLiteral("/short.wav");
        QVERIFY(sox(shortMono_, QStringLiteral("-r 44100 -n -b 16 -c 1"), QStringLiteral("synth 150s sine 300")));
        engine_.SetSoundSource([this]() -> const ChannelSet* {
            return document_.IsEmpty() ? nullptr : &document_.ActiveBuffer().channels;
        });
    }

    void init()
    {
        view_ = std::make_unique<WaveformView>(document_, engine_);
        view_->resize(200, 101);
        view_->show();
        QVERIFY(QTest::qWaitForWindowExposed(view_.get()));
        Open(stereo_);
    }

    void cleanup()
    {
        bar_.reset();
        view_.reset();
        document_.Reset();
        engine_.Clear();
    }

    void paintsStripsSelectionInvertedAndTheCursorOnTop()
    {
        const QImage plain = Grab();
        QCOMPARE(plain.size(), QSize(200, 101));
        for (int y = 0; y < 101; ++y)
            QCOMPARE(At(plain, 0, y), colors::kPlayCursor);  // position 0
        for (int x = 1; x < 200; ++x) {
            // Left channel, silent: the centre row of the top strip (rows 0..49, centre 25) alone.
            QCOMPARE(At(plain, x, 25), colors::kWaveLine);
            QCOMPARE(At(plain, x, 24), colors::kStripBackground);
            QCOMPARE(At(plain, x, 26), colors::kStripBackground);
            QCOMPARE(At(plain, x, 50), colors::kChannelSeparator);
            // Right channel at half scale: about 12 rows either side of its centre (76), never the edges.
            QCOMPARE(At(plain, x, 76), colors::kWaveLine);
            QCOMPARE(At(plain, x, 65), colors::kWaveLine);
            QCOMPARE(At(plain, x, 87), colors::kWaveLine);
            QCOMPARE(At(plain, x, 60), colors::kStripBackground);
            QCOMPARE(At(plain, x, 92), colors::kStripBackground);
        }

        // A quarter to a half selected, the position inside it.
        Select(Frames() / 4, Frames() / 2);
        engine_.SetPosition(Frames() * 3 / 8, Frames());
        const int from = view_->FrameToPixel(engine_.selectionStart);
        const int to = view_->FrameToPixel(engine_.selectionEnd);
        const int cursor = 75;  // trunc(0.375 * 200 + 0.5)
        QCOMPARE(from, 50);
        QCOMPARE(to, 100);
        const QImage selected = Grab();
        for (int x = 1; x < 200; ++x) {
            for (int y = 0; y < 101; ++y) {
                const Rgb expected = x == cursor                ? colors::kPlayCursor
                                     : (x >= from && x < to)    ? Inverted(At(plain, x, y))
                                                                : At(plain, x, y);
                QVERIFY2(At(selected, x, y) == expected,
                         qPrintable(QStringLiteral("(%1, %2) is %3").arg(x).arg(y).arg(Describe(At(selected, x, y)))));
            }
        }
        QCOMPARE(At(selected, 60, 60), (Rgb{75, 75, 75}));  // the strip's grey inverted

        // The whole file, more than twice as many frames as columns: every column inverted but the cursor.
        engine_.SelectAll(Frames());
        const QImage all = Grab();
        for (int x = 0; x < 200; ++x)
            QCOMPARE(At(all, x, 10), x == cursor ? colors::kPlayCursor : Inverted(colors::kStripBackground));
    }

    void aResizeShowsTheOldPeaksStretchedThenTheNewOnes()
    {
        const PeakCache old = view_->Peaks();
        QCOMPARE(old.ColumnCount(), 200u);
        view_->resize(333, 101);
        Grab();
        QCOMPARE(view_->Peaks().ColumnCount(), 200u);
        QCOMPARE(view_->WaveImage(), BuildWaveImage(old, 333, 101));

        view_->IdleStep();
        QCOMPARE(view_->Peaks().ColumnCount(), 333u);
        std::array<std::vector<PeakColumn>, 2> expected;
        ComputeColumnPeaks(document_.ActiveBuffer().channels, 0, Frames(), 333, expected);
        for (int c = 0; c < 2; ++c) {
            for (uint32_t i = 0; i < 333; ++i) {
                QCOMPARE(view_->Peaks().At(c, i).max, expected[size_t(c)][i].max);
                QCOMPARE(view_->Peaks().At(c, i).min, expected[size_t(c)][i].min);
            }
        }
        QCOMPARE(view_->WaveImage(), BuildWaveImage(view_->Peaks(), 333, 101));

        // Fewer frames than columns fill the width too; once computed for this width the idle step
        // leaves them (and the screen) alone.
        Open(shortMono_);
        QCOMPARE(view_->Peaks().ColumnCount(), 333u);
        PaintCounter counter;
        view_->installEventFilter(&counter);
        view_->IdleStep();
        view_->IdleStep();
        QCOMPARE(counter.paints, 0);
        view_->resize(340, 101);
        view_->IdleStep();
        QCOMPARE(counter.paints, 1);
        QCOMPARE(view_->Peaks().ColumnCount(), 340u);
    }

    // A sound with fewer frames than the view has columns draws each frame across the columns it
    // spans, so it looks like what it is rather than like silence; a one-frame selection covers the
    // width. Mono in 101 rows: the line of each column reaches trunc(peak * 50) rows from the centre.
    void aShortSoundShowsEachFrameAndItsSelectionAcrossTheWidth()
    {
        auto rowsFromCentre = [](const QImage& image, int x) {
            int reach = 0;
            for (int y = 0; y < image.height(); ++y)
                if (At(image, x, y) == colors::kWaveLine)
                    reach = std::max(reach, std::abs(y - 50));
            return reach;
        };
        auto sine = [](const QString& length) {
            const QString path = test::ScratchDir() + QStringLiteral("/sine-%1.wav").arg(length);
            // The rate on both sides: sox's null input runs at 48 kHz unless told, and the change of
            // rate would shorten the sound. Split before the path goes in, which may hold spaces.
            const QStringList arguments = QStringLiteral("-r 44100 -n -r 44100 -c 1 -b 16").split(QLatin1Char(' ')) +
                                          QStringList{path} +
                                          QStringLiteral("synth %1 sine 1000 vol 0.92").arg(length).split(QLatin1Char(' '));
            return test::RunTool(QStringLiteral("sox"), arguments) ? path : QString();
        };

        // 1000 Hz at 44.1 kHz: no two frames in a row near zero, and 1.5 frames a column, so every
        // column holds a frame away from the centre (the least, beside a zero crossing, 0.065).
        Open(sine(QStringLiteral("300s")));
        QCOMPARE(Frames(), 300u);
        QImage image = view_->WaveImage();
        for (int x = 0; x < 200; ++x)
            QVERIFY2(rowsFromCentre(image, x) >= 2, qPrintable(QStringLiteral("column %1 is flat").arg(x)));

        // The first quarter period in 12 frames of about 17 columns each: a rising step from the
        // first frame, the sine's zero, to 0.92 at the end.
        Open(sine(QStringLiteral("12s")));
        QCOMPARE(Frames(), 12u);
        image = view_->WaveImage();
        for (int x = view_->FrameToPixel(1); x < 200; ++x) {
            QVERIFY2(rowsFromCentre(image, x) >= 2, qPrintable(QStringLiteral("column %1 is flat").arg(x)));
            QVERIFY(rowsFromCentre(image, x) >= rowsFromCentre(image, x - 1));
        }
        QVERIFY(rowsFromCentre(image, 199) >= 45);  // 0.92 less the 16-bit rounding and dither

        Open(sine(QStringLiteral("1s")));
        QCOMPARE(Frames(), 1u);
        engine_.SelectAll(Frames());
        const QImage all = Grab();
        for (int x = 0; x < 200; ++x)
            QCOMPARE(At(all, x, 10), x == 0 ? colors::kPlayCursor : Inverted(colors::kStripBackground));
        SelectionBar bar(engine_, *view_);
        QCOMPARE(bar.State().startPixel, 0);
        QCOMPARE(bar.State().endPixel, 200);
    }

    void aCursorTickRepaintsOnlyTheColumnsTheCursorLeftAndReached()
    {
        Select(Frames() / 4, Frames() / 2);
        auto moveTo = [&](int column) { engine_.SetPosition(int64_t(Frames()) * column / 200, Frames()); };
        moveTo(60);
        view_->RepaintNow();
        PaintCounter counter;
        view_->installEventFilter(&counter);
        moveTo(61);
        view_->RepaintCursor();
        moveTo(61);
        view_->RepaintCursor();  // not moved: nothing to paint
        moveTo(130);             // out of the selection
        view_->RepaintCursor();
        QCOMPARE(counter.paints, 2);
        QCOMPARE(counter.regions.size(), 2);
        QCOMPARE(counter.regions[0], QRegion(60, 0, 1, 101) + QRegion(61, 0, 1, 101));
        QCOMPARE(counter.regions[1], QRegion(61, 0, 1, 101) + QRegion(130, 0, 1, 101));
        // What the screen holds after the ticks is what a whole repaint draws.
        const QImage screen = view_->screen()->grabWindow(view_->winId()).toImage().convertToFormat(QImage::Format_RGB888);
        QCOMPARE(screen.size(), QSize(200, 101));
        QCOMPARE(screen, Grab());
        QCOMPARE(At(screen, 130, 0), colors::kPlayCursor);
        QCOMPARE(At(screen, 61, 10), Inverted(colors::kStripBackground));
    }

    void aClickMovesThePositionAndKeepsTheSelection()
    {
        Select(FrameAt(20), FrameAt(40));
        QSignalSpy dragged(view_.get(), &WaveformView::selectionDragged);
        Press(150);
        Release(150);
        QCOMPARE(engine_.GetPosition(), int32_t(Frames() * 3 / 4));
        QCOMPARE(engine_.selectionStart, int32_t(FrameAt(20)));
        QCOMPARE(engine_.selectionEnd, int32_t(FrameAt(40)));
        QCOMPARE(dragged.count(), 0);

        // Other buttons do nothing.
        QTest::mouseClick(view_.get(), Qt::RightButton, {}, QPoint(10, 40));
        QCOMPARE(engine_.GetPosition(), int32_t(Frames() * 3 / 4));
    }

    void aDragSelectsInOrderWhateverItsDirectionOrTheOldSelection()
    {
        // An old selection left of the new drag takes no part in it.
        Select(FrameAt(20), FrameAt(40));
        QSignalSpy dragged(view_.get(), &WaveformView::selectionDragged);
        Press(150);
        Move(120);
        QCOMPARE(engine_.selectionStart, int32_t(FrameAt(120)));
        QCOMPARE(engine_.selectionEnd, int32_t(FrameAt(150)));
        Move(50);
        Release(50);
        QCOMPARE(engine_.selectionStart, int32_t(FrameAt(50)));
        QCOMPARE(engine_.selectionEnd, int32_t(FrameAt(150)));
        QCOMPARE(engine_.GetPosition(), int32_t(FrameAt(50)));  // the position followed the mouse
        QCOMPARE(dragged.count(), 2);

        // Past the view's ends: column 0 and the frame count.
        Press(100);
        Move(-40);
        QCOMPARE(engine_.selectionStart, 0);
        Move(260);
        Release(260);
        QCOMPARE(engine_.selectionStart, int32_t(FrameAt(100)));
        QCOMPARE(engine_.selectionEnd, int32_t(Frames()));

        // A drag that comes back to its first column selects nothing: the old selection is gone.
        Press(170);
        Move(175);
        Move(170);
        Release(170);
        QCOMPARE(engine_.selectionStart, engine_.selectionEnd);
        QVERIFY(!engine_.HasSelection());
    }

    void draggingAnEdgeMovesItAndSwapsRolesWhenItCrossesTheOther()
    {
        Select(FrameAt(50), FrameAt(100));
        const int32_t position = engine_.GetPosition();
        Press(51);  // within 2 pixels of the start
        Move(70);
        QCOMPARE(engine_.selectionStart, int32_t(FrameAt(70)));
        QCOMPARE(engine_.selectionEnd, int32_t(FrameAt(100)));
        Move(120);  // past the end: the old end is the start now, and the drag moves the end
        QCOMPARE(engine_.selectionStart, int32_t(FrameAt(100)));
        QCOMPARE(engine_.selectionEnd, int32_t(FrameAt(120)));
        Move(130);
        QCOMPARE(engine_.selectionStart, int32_t(FrameAt(100)));
        QCOMPARE(engine_.selectionEnd, int32_t(FrameAt(130)));
        Move(80);  // back past the start: a start drag again
        QCOMPARE(engine_.selectionStart, int32_t(FrameAt(80)));
        QCOMPARE(engine_.selectionEnd, int32_t(FrameAt(100)));
        Release(80);
        QCOMPARE(engine_.GetPosition(), position);  // edge drags never seek

        // Edges two columns apart, the mouse between them: the start is taken.
        Select(FrameAt(60), FrameAt(62));
        Press(61);
        Move(30);
        Release(30);
        QCOMPARE(engine_.selectionStart, int32_t(FrameAt(30)));
        QCOMPARE(engine_.selectionEnd, int32_t(FrameAt(62)));
    }

    void theEdgeCursorShowsNearAnEdgeButNotDuringADrag()
    {
        Select(FrameAt(50), FrameAt(100));
        Move(101);
        QCOMPARE(view_->cursor().shape(), Qt::SplitHCursor);
        Move(75);
        QCOMPARE(view_->cursor().shape(), Qt::ArrowCursor);
        Press(49);
        QCOMPARE(view_->cursor().shape(), Qt::ArrowCursor);
        Move(52);
        QCOMPARE(view_->cursor().shape(), Qt::ArrowCursor);
        Release(52);
    }

    void theSelectionBarShowsTrackMarkersAndBand()
    {
        bar_ = std::make_unique<SelectionBar>(engine_, *view_);
        bar_->resize(214, SelectionBar::kHeight);  // the waveform's 200 columns and two 7-pixel margins
        const QColor faceColour = bar_->palette().color(QPalette::Button);
        const Rgb face{uint8_t(faceColour.red()), uint8_t(faceColour.green()), uint8_t(faceColour.blue())};
        const Rgb track = BlendColor(face, colors::kWhite, 128);
        const Rgb bottom = BlendColor(face, colors::kBlack, 32);
        const Rgb grey{204, 204, 204};
        auto grab = [&] { return bar_->grab().toImage().convertToFormat(QImage::Format_RGB888); };

        // Nothing selected: margins, track and its bottom line only.
        QImage image = grab();
        for (int x = 0; x < 214; ++x) {
            const bool inTrack = x >= 7 && x < 207;
            for (int y = 0; y < 8; ++y)
                QCOMPARE(At(image, x, y), inTrack ? track : face);
            QCOMPARE(At(image, x, 8), inTrack ? bottom : face);
        }

        // The whole file: the band over the track, the markers in the margins.
        engine_.SelectAll(Frames());
        image = grab();
        for (int x = 7; x < 207; ++x) {
            QCOMPARE(At(image, x, 0), track);
            for (int y = 1; y <= 6; ++y)
                QCOMPARE(At(image, x, y), colors::kSelectionBand);
            QCOMPARE(At(image, x, 7), track);
            QCOMPARE(At(image, x, 8), bottom);
        }
        QCOMPARE(At(image, 6, 0), grey);  // the start marker's diagonal from its top right corner
        QCOMPARE(At(image, 0, 6), grey);
        QCOMPARE(At(image, 6, 6), colors::kBlack);
        QCOMPARE(At(image, 0, 0), face);  // magenta leaves the bar as it was
        QCOMPARE(At(image, 5, 0), face);
        QCOMPARE(At(image, 207, 0), grey);  // the end marker, mirrored
        QCOMPARE(At(image, 207, 6), colors::kBlack);
        QCOMPARE(At(image, 213, 6), grey);
        QCOMPARE(At(image, 213, 0), face);
        QCOMPARE(At(image, 3, 7), face);

        // A start alone: its marker, ending at the start, and no band.
        engine_.Deselect();
        engine_.SetSelectionStart(FrameAt(100), Frames());
        image = grab();
        QCOMPARE(At(image, 106, 6), colors::kBlack);
        QCOMPARE(At(image, 100, 6), grey);
        QCOMPARE(At(image, 107, 3), track);
        QCOMPARE(At(image, 120, 3), track);
    }

    // Whole, through the summary's range, the range's samples, frame by frame and as points: each
    // picture equals one drawn here from sox's own decoding of the range alone. The chirp and the
    // noise make every column differ from its neighbours.
    void aZoomedPictureEqualsOneDrawnFromTheRangesSamples()
    {
        const QString path = test::ScratchDir() + QStringLiteral("/chirp.wav");
        const QString raw = test::ScratchDir() + QStringLiteral("/chirp.f32");
        QVERIFY(test::RunTool(QStringLiteral("sox"),
                              QStringLiteral("-r 44100 -n -r 44100 -b 16 -c 2 %1 synth 30 sine 50-9000 whitenoise "
                                             "remix 1v0.8 2v0.6")
                                  .arg(path)
                                  .split(QLatin1Char(' '))));
        QVERIFY(test::RunTool(QStringLiteral("sox"), {path, QStringLiteral("-t"), QStringLiteral("f32"), raw}));
        QFile file(raw);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        std::vector<float> decoded(size_t(bytes.size()) / 4);
        std::memcpy(decoded.data(), bytes.constData(), size_t(bytes.size()));
        Open(path);
        QCOMPARE(Frames(), 1323000u);
        const int w = view_->width();
        const int h = view_->height();
        auto sample = [&](int c, int64_t g) { return decoded[size_t(g) * 2 + size_t(c)]; };

        QSet<QString> kinds;
        for (int level = 0; level < 40 && view_->VisibleRange().count > 25; ++level) {
            if (level > 0)
                view_->ZoomAtPixel(1, 61);
            const FrameRange range = view_->VisibleRange();
            const int64_t n = range.count;
            Grab();
            QImage expected;
            if (n >= w) {
                // Columns: frames [first + ceil(c * n / w), first + ceil((c + 1) * n / w)), the first
                // only opening the column; under two frames a column, every frame overlapping it.
                PeakCache reference;
                for (int c = 0; c < 2; ++c) {
                    for (int64_t x = 0; x < w; ++x) {
                        const bool spans = n < 2 * w;
                        const int64_t from = spans ? x * n / w : (x * n + w - 1) / w + 1;
                        const int64_t to = spans ? std::max(((x + 1) * n + w - 1) / w, x * n / w + 1)
                                                 : ((x + 1) * n + w - 1) / w;
                        float max = 0, min = 0;
                        for (int64_t g = range.first + from; g < range.first + to; ++g) {
                            max = std::max(max, sample(c, g));
                            min = std::min(min, sample(c, g));
                        }
                        reference.Columns()[size_t(c)].push_back({std::min(max, 1.0f), std::max(min, -1.0f)});
                    }
                }
                expected = BuildWaveImage(reference, w, h);
                kinds << (range.count == Frames() ? QStringLiteral("whole")
                          : spans(n, w)           ? QStringLiteral("spans")
                          : n >= 256 * w          ? QStringLiteral("summary")
                                                  : QStringLiteral("samples"));
            } else {
                // Points: each frame where it begins, from the one before the range to the one after.
                expected = QImage(w, h, QImage::Format_RGB888);
                expected.fill(QColor(180, 180, 180));
                QPainter painter(&expected);
                painter.fillRect(0, h / 2, w, 1, QColor(66, 66, 66));
                for (int c = 0; c < 2; ++c) {
                    const int top = c == 0 ? 0 : h / 2 + 1;
                    const int half = ((c == 0 ? h / 2 : h) - top) / 2;
                    QPolygon line;
                    for (int64_t g = range.first - 1; g <= range.End(); ++g) {
                        const int x = int(std::floor(double(g - range.first) * w / double(n) + 0.5));
                        line << QPoint(x, top + half - int(sample(c, g) * float(half)));
                    }
                    painter.setClipRect(0, top, w, 2 * half + (c == 0 ? 0 : 1));
                    painter.setPen(QPen(QColor(0, 52, 113), 0));
                    painter.drawPolyline(line);
                    if (w / n >= 4) {
                        for (const QPoint& at : line)
                            painter.fillRect(at.x() - 1, at.y() - 1, 3, 3, QColor(0, 52, 113));
                    }
                }
                kinds << QStringLiteral("points");
            }
            QVERIFY2(view_->WaveImage() == expected,
                     qPrintable(QStringLiteral("frames %1 x %2").arg(range.first).arg(range.count)));
        }
        QCOMPARE(kinds.size(), 5);
        QCOMPARE(view_->VisibleRange().count, 25);  // the deepest: 8 columns a frame
    }

    // Zoomed and scrolled, the mouse rules work through the visible range: a drag selects the frames
    // under the pointer, an edge is taken within two pixels, an edge out of view is never taken, and
    // the selection bar leaves out the marker of an edge beyond the view.
    void aDragInAZoomedScrolledViewSelectsTheFramesUnderThePointer()
    {
        view_->ZoomAtPixel(3, 100);
        view_->ScrollTo(30000);
        const FrameRange range = view_->VisibleRange();
        QCOMPARE(range, (FrameRange{30000, 11025}));
        auto frameAt = [&](int x) { return range.first + int64_t(double(range.count) * x / 200.0 + 0.5); };
        Press(150);
        Move(90);
        Move(40);
        Release(40);
        QCOMPARE(engine_.selectionStart, frameAt(40));
        QCOMPARE(engine_.selectionEnd, frameAt(150));
        QCOMPARE(engine_.GetPosition(), frameAt(40));
        // The end, grabbed two pixels off, moves to where it is dropped.
        Press(152);
        Move(180);
        Release(180);
        QCOMPARE(engine_.selectionStart, frameAt(40));
        QCOMPARE(engine_.selectionEnd, frameAt(180));

        // Scrolled on so that the start lies before the view: inverted from column 0 to the end's
        // column, and a press on the view's first columns moves only the position.
        view_->ScrollTo(range.first + 4000);
        const int endX = view_->FrameToPixel(engine_.selectionEnd);
        QVERIFY(view_->FrameToPixel(engine_.selectionStart) < -2);
        QCOMPARE(endX, int((frameAt(180) - range.first - 4000) * 200.0 / range.count + 0.5));
        const QImage image = Grab();
        const QImage plain = view_->WaveImage();
        QCOMPARE(At(image, 0, 10), Inverted(At(plain, 0, 10)));
        QCOMPARE(At(image, endX - 1, 10), Inverted(At(plain, endX - 1, 10)));
        QCOMPARE(At(image, endX, 10), At(plain, endX, 10));
        bar_ = std::make_unique<SelectionBar>(engine_, *view_);
        QVERIFY(bar_->State().startPixel < 0);
        QCOMPARE(bar_->State().endPixel, endX);
        Press(1);
        Release(1);
        QCOMPARE(engine_.selectionStart, frameAt(40));
        QCOMPARE(engine_.GetPosition(), range.first + 4000 + int64_t(range.count / 200.0 + 0.5));
    }

    // Ctrl with the wheel zooms keeping the frame under the pointer; the wheel alone, or sideways,
    // scrolls a tenth of the view a notch; never past either end.
    void theWheelZoomsAroundThePointerAndScrolls()
    {
        auto wheel = [this](int x, QPoint angle, Qt::KeyboardModifiers modifiers) {
            QWheelEvent event(QPointF(x, 40), view_->mapToGlobal(QPointF(x, 40)), {}, angle, Qt::NoButton,
                              modifiers, Qt::NoScrollPhase, false);
            QApplication::sendEvent(view_.get(), &event);
        };
        const int64_t under = view_->PixelToFrame(130);
        wheel(130, {0, 240}, Qt::ControlModifier);
        QCOMPARE(view_->VisibleRange().count, int64_t(Frames() / 4));
        QCOMPARE(view_->PixelToFrame(130), under);
        QSignalSpy moved(view_.get(), &WaveformView::visibleRangeChanged);
        const FrameRange zoomed = view_->VisibleRange();
        wheel(10, {0, -120}, Qt::NoModifier);
        QCOMPARE(view_->VisibleRange().first, zoomed.first + zoomed.count / 10);
        wheel(10, {120, 0}, Qt::ShiftModifier);
        QCOMPARE(view_->VisibleRange().first, zoomed.first);
        QCOMPARE(moved.count(), 2);
        for (int i = 0; i < 20; ++i)
            wheel(10, {0, 120}, Qt::NoModifier);
        QCOMPARE(view_->VisibleRange().first, 0);
        wheel(10, {0, -120 * 200}, Qt::NoModifier);
        QCOMPARE(view_->VisibleRange().End(), int64_t(Frames()));
        wheel(10, {0, -120}, Qt::ControlModifier);
        wheel(10, {0, -120}, Qt::ControlModifier);
        QVERIFY(!view_->IsZoomed());
        QCOMPARE(view_->VisibleRange(), (FrameRange{0, Frames()}));
    }

    // A shorter sound keeps the zoom but never shows past its end; an open shows the new sound from
    // its start at the same zoom.
    void aChangeOfLengthKeepsTheZoomWithinTheSound()
    {
        view_->ZoomAtPixel(2, 200);
        const FrameRange atEnd = view_->VisibleRange();
        QCOMPARE(atEnd.End(), int64_t(Frames()));
        QCOMPARE(atEnd.count, int64_t(Frames() / 4));
        QVERIFY(document_.DeleteRange(0, 10000, true));
        view_->ClearPeaks();
        Grab();
        QCOMPARE(view_->VisibleRange(), (FrameRange{Frames() - atEnd.count, atEnd.count}));
        QVERIFY(document_.DeleteRange(0, Frames() - 5000, true));
        view_->ClearPeaks();
        QVERIFY(!view_->IsZoomed());
        QCOMPARE(view_->VisibleRange(), (FrameRange{0, 5000}));
        Open(stereo_);
        QCOMPARE(view_->VisibleRange(), (FrameRange{0, atEnd.count}));
    }
};

}  // namespace brindle

BRINDLE_GUI_TEST_MAIN(brindle::WaveformViewTest)
#include "waveform_view_test.moc"

// The waveform view and the selection bar as real widgets under the offscreen platform: what they
// paint, how a resize recomputes the peaks, and what the mouse and the wheel, delivered to the window,
// do to the position, the selection and the zoom.
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

// A WAV by sox at 44.1 kHz on both sides (its null input runs at 48 kHz unless told); the arguments
// are split before the path goes in, which may hold spaces.
QString Sox(const QString& name, const QString& channels, const QString& synth)
{
    const QString path = test::ScratchDir() + '/' + name;
    const QStringList arguments = QString("-r 44100 -n -r 44100 -b 16 -c " + channels).split(' ') + QStringList{path};
    return test::RunTool("sox", arguments + synth.split(' ')) ? path : QString();
}

// The regions of the paints a widget receives.
struct PaintCounter : QObject {
    QList<QRegion> regions;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            regions << static_cast<QPaintEvent*>(event)->region();
        return false;
    }
};

}  // namespace

class WaveformViewTest : public QObject {
    Q_OBJECT

    QString stereo_;  // 2 s: left channel silent, right a sine at half scale
    Document document_;
    PlaybackEngine engine_;
    std::unique_ptr<WaveformView> view_;

    uint32_t Frames() const { return document_.ActiveBuffer().FrameCount(); }
    QImage Grab() { return view_->grab().toImage().convertToFormat(QImage::Format_RGB888); }
    void Open(const QString& path)
    {
        QVERIFY(document_.Load(path.toStdString()));
        engine_.Clear();
        view_->RebuildPeaks();
    }
    // The frame under column x of the visible range, worked out here rather than asked of the view.
    int64_t FrameAt(int x) const
    {
        const FrameRange range = view_->VisibleRange();
        return range.first + int64_t(double(range.count) * x / view_->width() + 0.5);
    }
    void Select(int64_t start, int64_t end)
    {
        engine_.Deselect();
        engine_.SetSelectionStart(start, Frames());
        engine_.SetSelectionEnd(end, Frames());
    }
    void Wheel(int x, QPoint angle, Qt::KeyboardModifiers modifiers)
    {
        QWheelEvent event(QPointF(x, 40), view_->mapToGlobal(QPointF(x, 40)), {}, angle, {}, modifiers, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view_->windowHandle(), &event);
    }
    // A mouse script for the view's window, at row 40: pX, mX, rX press, move to or release the left
    // button at column X, xX clicks the right; sA,B selects columns A..B with the position at 0. Then
    // the checks: =A,B the selection is columns A..B (=- none), @X the position is column X, dN N
    // drags were signalled, | or < the edge or the arrow cursor shows.
    void Play(const QString& script)
    {
        QSignalSpy dragged(view_.get(), &WaveformView::selectionDragged);
        QWindow* window = view_->windowHandle();
        for (const QString& step : script.split(' ')) {
            const QStringList n = step.mid(1).split(',');
            const int a = n[0].toInt(), b = n.value(1).toInt();
            const QString what = step + ": %1..%2 @%3";
            const QString is = what.arg(engine_.selectionStart).arg(engine_.selectionEnd).arg(engine_.GetPosition());
            switch (step[0].toLatin1()) {
            case 'p': QTest::mousePress(window, Qt::LeftButton, {}, QPoint(a, 40)); break;
            case 'm': QTest::mouseMove(window, QPoint(a, 40)); break;
            case 'r': QTest::mouseRelease(window, Qt::LeftButton, {}, QPoint(a, 40)); break;
            case 'x': QTest::mouseClick(window, Qt::RightButton, {}, QPoint(a, 40)); break;
            case 's': Select(FrameAt(a), FrameAt(b)), engine_.SetPosition(0, Frames()); break;
            case '=':
                if (n[0] == "-")
                    QVERIFY2(!engine_.HasSelection() && engine_.selectionStart == engine_.selectionEnd, qPrintable(is));
                else
                    QCOMPARE(is, what.arg(FrameAt(a)).arg(FrameAt(b)).arg(engine_.GetPosition()));
                break;
            case '@': QCOMPARE(is, what.arg(engine_.selectionStart).arg(engine_.selectionEnd).arg(FrameAt(a))); break;
            case 'd': QCOMPARE(dragged.count(), a); break;
            case '|': QCOMPARE(view_->cursor().shape(), Qt::SplitHCursor); break;
            case '<': QCOMPARE(view_->cursor().shape(), Qt::ArrowCursor); break;
            default: QFAIL(qPrintable(step));
            }
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(!(stereo_ = Sox("left-silent.wav", "2", "synth 2 sine 440 vol 0.5 remix 0 1")).isEmpty());
        engine_.SetSoundSource([this] { return document_.IsEmpty() ? nullptr : &document_.ActiveBuffer().channels; });
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
        // The silent left channel: the centre row (25) of the top strip alone; the separator; the right
        // at half scale: about 12 rows either side of its centre (76), never the edges.
        const Rgb line = colors::kWaveLine, strip = colors::kStripBackground;
        const std::pair<int, Rgb> rows[] = {{25, line}, {24, strip}, {26, strip}, {50, colors::kChannelSeparator},
                                            {76, line}, {65, line},  {87, line},  {60, strip}, {92, strip}};
        for (int x = 1; x < 200; ++x)
            for (const auto& [y, colour] : rows)
                QCOMPARE(At(plain, x, y), colour);

        // A quarter to a half selected, the position inside it at column trunc(0.375 * 200 + 0.5).
        Select(Frames() / 4, Frames() / 2);
        engine_.SetPosition(Frames() * 3 / 8, Frames());
        QCOMPARE(view_->FrameToPixel(engine_.selectionStart), 50);
        QCOMPARE(view_->FrameToPixel(engine_.selectionEnd), 100);
        const QImage selected = Grab();
        for (int x = 1; x < 200; ++x) {
            for (int y = 0; y < 101; ++y) {
                const Rgb expected =
                    x == 75 ? colors::kPlayCursor : x >= 50 && x < 100 ? Inverted(At(plain, x, y)) : At(plain, x, y);
                QVERIFY2(At(selected, x, y) == expected, qPrintable(QString("(%1, %2)").arg(x).arg(y)));
            }
        }
        QCOMPARE(At(selected, 60, 60), (Rgb{75, 75, 75}));  // the strip's grey inverted
        // The whole file, more than twice as many frames as columns: every column inverted but the cursor.
        engine_.SelectAll(Frames());
        const QImage all = Grab();
        for (int x = 0; x < 200; ++x)
            QCOMPARE(At(all, x, 10), x == 75 ? colors::kPlayCursor : Inverted(strip));
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
        PeakCache expected;
        ComputeColumnPeaks(document_.ActiveBuffer().channels, 0, Frames(), 333, expected.Columns());
        QCOMPARE(view_->Peaks().ColumnCount(), 333u);
        for (int i = 0; i < 666; ++i) {
            const PeakColumn got = view_->Peaks().At(i / 333, i % 333), want = expected.At(i / 333, i % 333);
            QVERIFY2(got.max == want.max && got.min == want.min, qPrintable(QString("column %1").arg(i)));
        }
        QCOMPARE(view_->WaveImage(), BuildWaveImage(expected, 333, 101));

        // Fewer frames than columns fill the width too; once computed for this width the idle step
        // leaves them (and the screen) alone.
        Open(Sox("short.wav", "1", "synth 150s sine 300"));
        QCOMPARE(view_->Peaks().ColumnCount(), 333u);
        PaintCounter counter;
        view_->installEventFilter(&counter);
        view_->IdleStep();
        view_->IdleStep();
        QCOMPARE(counter.regions.size(), 0);
        view_->resize(340, 101);
        view_->IdleStep();
        QCOMPARE(counter.regions.size(), 1);
        QCOMPARE(view_->Peaks().ColumnCount(), 340u);
    }

    // Under one frame a column, each frame spans its columns: 1000 Hz at 1.5 frames a column leaves no
    // column flat, 12 frames rise in steps to 0.92, one frame selected covers the width. Mono in 101 rows.
    void aShortSoundShowsEachFrameAndItsSelectionAcrossTheWidth()
    {
        auto reach = [](const QImage& image, int x) {
            int r = 0;
            for (int y = 0; y < 101; ++y)
                r = At(image, x, y) == colors::kWaveLine ? std::max(r, std::abs(y - 50)) : r;
            return r;
        };
        for (const uint32_t frames : {300u, 12u, 1u}) {
            Open(Sox(QString("sine%1.wav").arg(frames), "1", QString("synth %1s sine 1000 vol 0.92").arg(frames)));
            QCOMPARE(Frames(), frames);
            const QImage image = view_->WaveImage();
            for (int x = frames == 12 ? view_->FrameToPixel(1) : 0; x < 200 && frames > 1; ++x)
                QVERIFY2(reach(image, x) >= 2 && (frames > 12 || reach(image, x) >= reach(image, x - 1)),
                         qPrintable(QString("column %1").arg(x)));
            QVERIFY(frames != 12 || reach(image, 199) >= 45);  // 0.92 less the 16-bit rounding and dither
        }
        engine_.SelectAll(Frames());
        const QImage all = Grab();
        for (int x = 0; x < 200; ++x)
            QCOMPARE(At(all, x, 10), x == 0 ? colors::kPlayCursor : Inverted(colors::kStripBackground));
        SelectionBar bar(engine_, *view_);
        QCOMPARE((std::pair(bar.State().startPixel, bar.State().endPixel)), std::pair(0, 200));
    }

    // Column 61 twice (not moved: nothing to paint), then out of the selection; the screen then holds
    // what a whole repaint draws.
    void aCursorTickRepaintsOnlyTheColumnsTheCursorLeftAndReached()
    {
        Select(Frames() / 4, Frames() / 2);
        PaintCounter counter;
        for (const int column : {60, 61, 61, 130}) {
            engine_.SetPosition(int64_t(Frames()) * column / 200, Frames());
            column == 60 ? view_->RepaintNow() : view_->RepaintCursor();
            if (column == 60)
                view_->installEventFilter(&counter);
        }
        QCOMPARE(counter.regions, (QList<QRegion>{QRegion(60, 0, 1, 101) + QRegion(61, 0, 1, 101),
                                                  QRegion(61, 0, 1, 101) + QRegion(130, 0, 1, 101)}));
        const QImage screen = view_->screen()->grabWindow(view_->winId()).toImage().convertToFormat(QImage::Format_RGB888);
        QCOMPARE(screen.size(), QSize(200, 101));
        QCOMPARE(screen, Grab());
        QCOMPARE(At(screen, 130, 0), colors::kPlayCursor);
        QCOMPARE(At(screen, 61, 10), Inverted(colors::kStripBackground));
    }

    void theMouseSeeksSelectsAndDragsTheEdges()
    {
        // A click seeks and keeps the selection; other buttons do nothing.
        Play("s20,40 p150 r150 @150 =20,40 d0 x10 @150");
        // A drag selects in order whatever its direction, the old selection taking no part and the
        // position following the mouse; past the view's ends it stops at 0 and at the frame count.
        Play("s20,40 p150 m120 =120,150 m50 r50 =50,150 @50 d2 p100 m-40 =0,100 m260 r260 =100,200");
        // A drag that comes back to its first column selects nothing: the old selection is gone.
        Play("s20,40 p170 m175 m170 r170 =-");
        // An edge within two pixels moves, swapping roles as it crosses the other, and never seeks;
        // between edges two columns apart the start is taken.
        Play("s50,100 p51 m70 =70,100 m120 =100,120 m130 =100,130 m80 =80,100 r80 @0 s60,62 p61 m30 r30 =30,62");
        // The edge cursor shows near an edge, but not during a drag.
        Play("s50,100 m101 | m75 < p49 < m52 < r52");
    }

    // Empty: margins, track and its bottom line. Whole: the band over the track and the markers in the
    // margins, magenta leaving the bar as it was, the start's diagonal from its top right corner, the
    // end's mirrored. A start alone: its marker, ending at the start, and no band.
    void theSelectionBarShowsTrackMarkersAndBand()
    {
        SelectionBar bar(engine_, *view_);
        bar.resize(214, SelectionBar::kHeight);  // the waveform's 200 columns and two 7-pixel margins
        const QColor button = bar.palette().color(QPalette::Button);
        const Rgb face{uint8_t(button.red()), uint8_t(button.green()), uint8_t(button.blue())}, grey{204, 204, 204};
        const Rgb track = BlendColor(face, colors::kWhite, 128), bottom = BlendColor(face, colors::kBlack, 32);
        auto grab = [&] { return bar.grab().toImage().convertToFormat(QImage::Format_RGB888); };
        QImage image = grab();
        for (int x = 0; x < 214; ++x)
            for (int y = 0; y <= 8; ++y)
                QCOMPARE(At(image, x, y), x < 7 || x >= 207 ? face : y < 8 ? track : bottom);
        engine_.SelectAll(Frames());
        image = grab();
        for (int x = 7; x < 207; ++x)
            for (int y = 0; y <= 8; ++y)
                QCOMPARE(At(image, x, y), y == 0 || y == 7 ? track : y == 8 ? bottom : colors::kSelectionBand);
        const std::tuple<int, int, Rgb> whole[] = {{6, 0, grey},   {0, 6, grey},   {6, 6, colors::kBlack}, {0, 0, face},
                                                   {5, 0, face},   {207, 0, grey}, {207, 6, colors::kBlack},
                                                   {213, 6, grey}, {213, 0, face}, {3, 7, face}};
        for (const auto& [x, y, colour] : whole)
            QVERIFY2(At(image, x, y) == colour, qPrintable(QString("(%1, %2)").arg(x).arg(y)));
        engine_.Deselect();
        engine_.SetSelectionStart(FrameAt(100), Frames());
        image = grab();
        for (const auto& [x, y, colour] : {std::tuple(106, 6, colors::kBlack), {100, 6, grey}, {107, 3, track}, {120, 3, track}})
            QVERIFY2(At(image, x, y) == colour, qPrintable(QString("(%1, %2)").arg(x).arg(y)));
    }

    // Whole, through the summary's range, the range's samples, frame by frame and as points: each
    // picture equals one drawn here from sox's own decoding of the range alone. The chirp and the
    // noise make every column differ from its neighbours.
    void aZoomedPictureEqualsOneDrawnFromTheRangesSamples()
    {
        const QString path = Sox("chirp.wav", "2", "synth 30 sine 50-9000 whitenoise remix 1v0.8 2v0.6");
        const QString raw = test::ScratchDir() + "/chirp.f32";
        QVERIFY(test::RunTool("sox", {path, "-t", "f32", raw}));
        QFile file(raw);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        std::vector<float> decoded(size_t(bytes.size()) / 4);
        std::memcpy(decoded.data(), bytes.constData(), size_t(bytes.size()));
        Open(path);
        QCOMPARE(Frames(), 1323000u);
        const int w = view_->width(), h = view_->height();
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
                const bool spans = n < 2 * w;
                PeakCache reference;
                for (int c = 0; c < 2; ++c) {
                    for (int64_t x = 0; x < w; ++x) {
                        float max = 0, min = 0;
                        for (int64_t g = spans ? x * n / w : (x * n + w - 1) / w + 1; g < ((x + 1) * n + w - 1) / w; ++g) {
                            max = std::max(max, sample(c, range.first + g));
                            min = std::min(min, sample(c, range.first + g));
                        }
                        reference.Columns()[size_t(c)].push_back({std::min(max, 1.0f), std::max(min, -1.0f)});
                    }
                }
                expected = BuildWaveImage(reference, w, h);
                kinds << (n == Frames() ? "whole" : spans ? "spans" : n >= 256 * w ? "summary" : "samples");
            } else {
                // Points: each frame where it begins, from the one before the range to the one after.
                expected = QImage(w, h, QImage::Format_RGB888);
                expected.fill(QColor(180, 180, 180));
                QPainter painter(&expected);
                painter.fillRect(0, h / 2, w, 1, QColor(66, 66, 66));
                for (int c = 0; c < 2; ++c) {
                    const int top = c == 0 ? 0 : h / 2 + 1, half = ((c == 0 ? h / 2 : h) - top) / 2;
                    QPolygon line;
                    for (int64_t g = range.first - 1; g <= range.End(); ++g)
                        line << QPoint(int(std::floor(double(g - range.first) * w / double(n) + 0.5)),
                                       top + half - int(sample(c, g) * float(half)));
                    painter.setClipRect(0, top, w, 2 * half + c);
                    painter.setPen(QPen(QColor(0, 52, 113), 0));
                    painter.drawPolyline(line);
                    for (const QPoint& at : line)
                        if (w / n >= 4)
                            painter.fillRect(at.x() - 1, at.y() - 1, 3, 3, QColor(0, 52, 113));
                }
                kinds << "points";
            }
            QVERIFY2(view_->WaveImage() == expected, qPrintable(QString("frames %1 x %2").arg(range.first).arg(n)));
        }
        QCOMPARE(kinds.size(), 5);
        QCOMPARE(view_->VisibleRange().count, 25);  // the deepest: 8 columns a frame
    }

    // Zoomed and scrolled, a drag selects the frames under the pointer and an edge is taken within two
    // pixels; scrolled on so the start lies before the view, the selection shows from column 0 to the
    // end's, the bar leaves out the start's marker, and a press on the first columns only seeks.
    void aDragInAZoomedScrolledViewSelectsTheFramesUnderThePointer()
    {
        view_->ZoomAtPixel(3, 100);
        view_->ScrollTo(30000);
        const FrameRange range = view_->VisibleRange();
        QCOMPARE(range, (FrameRange{30000, 11025}));
        Play("p150 m90 m40 r40 =40,150 @40 p152 m180 r180 =40,180");
        const int64_t start = FrameAt(40), end = FrameAt(180);
        view_->ScrollTo(range.first + 4000);
        const int endX = view_->FrameToPixel(end);
        QVERIFY(view_->FrameToPixel(start) < -2);
        QCOMPARE(endX, int((end - range.first - 4000) * 200.0 / range.count + 0.5));
        const QImage image = Grab(), plain = view_->WaveImage();
        QCOMPARE(At(image, 0, 10), Inverted(At(plain, 0, 10)));
        QCOMPARE(At(image, endX - 1, 10), Inverted(At(plain, endX - 1, 10)));
        QCOMPARE(At(image, endX, 10), At(plain, endX, 10));
        SelectionBar bar(engine_, *view_);
        QVERIFY(bar.State().startPixel < 0);
        QCOMPARE(bar.State().endPixel, endX);
        Play("p1 r1 @1");
        QCOMPARE(engine_.selectionStart, start);
    }

    // Ctrl with the wheel zooms keeping the frame under the pointer; the wheel alone, or sideways,
    // scrolls a tenth of the view a notch; never past either end.
    void theWheelZoomsAroundThePointerAndScrolls()
    {
        const int64_t under = view_->PixelToFrame(130);
        Wheel(130, {0, 240}, Qt::ControlModifier);
        QCOMPARE(view_->VisibleRange().count, int64_t(Frames() / 4));
        QCOMPARE(view_->PixelToFrame(130), under);
        QSignalSpy moved(view_.get(), &WaveformView::visibleRangeChanged);
        const FrameRange zoomed = view_->VisibleRange();
        Wheel(10, {0, -120}, Qt::NoModifier);
        QCOMPARE(view_->VisibleRange().first, zoomed.first + zoomed.count / 10);
        Wheel(10, {120, 0}, Qt::ShiftModifier);
        QCOMPARE(view_->VisibleRange().first, zoomed.first);
        QCOMPARE(moved.count(), 2);
        for (int i = 0; i < 20; ++i)
            Wheel(10, {0, 120}, Qt::NoModifier);
        QCOMPARE(view_->VisibleRange().first, 0);
        Wheel(10, {0, -120 * 200}, Qt::NoModifier);
        QCOMPARE(view_->VisibleRange().End(), int64_t(Frames()));
        Wheel(10, {0, -120}, Qt::ControlModifier);
        Wheel(10, {0, -120}, Qt::ControlModifier);
        QVERIFY(!view_->IsZoomed());
        QCOMPARE(view_->VisibleRange(), (FrameRange{0, Frames()}));
    }

    // A shorter sound keeps the zoom but never shows past its end; an open shows the new sound from
    // its start at the same zoom.
    void aChangeOfLengthKeepsTheZoomWithinTheSound()
    {
        view_->ZoomAtPixel(2, 200);
        const FrameRange atEnd = view_->VisibleRange();
        QCOMPARE(atEnd, (FrameRange{Frames() - Frames() / 4, Frames() / 4}));
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

// Measures the waveform's zoom and scroll on a long sound (not a test: it times things). Opens FILE in
// the editor's main window at 1920 x 1080 and, at every zoom level from the whole sound to the
// deepest, times what the UI thread does for one zoom step (a Ctrl+wheel notch at the pointer, in and
// then back out) and one scroll step (a wheel notch, a tenth of the view, and a page through the
// scroll bar), each from the event to the end of its repaint, at points spread over the sound.
// Prints per level the frames shown, frames a column, where the picture comes from and the longest
// and median stall.
//
//   measure_zoom FILE.wav       (offscreen unless QT_QPA_PLATFORM says otherwise)
#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QWheelEvent>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/application_setup.h"
#include "app/document_view.h"
#include "app/main_frame.h"
#include "edit/peak_summary.h"
#include "view/waveform_view.h"

namespace {

double Ms(const QElapsedTimer& timer) { return double(timer.nsecsElapsed()) / 1e6; }

// The steps' times in ms: the longest, and the median (the upper one of an even count).
using Times = std::vector<double>;
double Longest(const Times& times) { return times.empty() ? 0 : *std::max_element(times.begin(), times.end()); }
double Median(Times times)
{
    if (times.empty())
        return 0;
    std::nth_element(times.begin(), times.begin() + ptrdiff_t(times.size() / 2), times.end());
    return times[times.size() / 2];
}

// A wheel notch on the waveform, delivered as the window system would, then everything it queued
// (the scroll bar's layout, repaints) until the loop would wait: the UI thread's whole stall.
double Wheel(brindle::WaveformView& view, int x, int notches, Qt::KeyboardModifiers modifiers)
{
    QElapsedTimer timer;
    timer.start();
    const QPointF at(x, view.height() / 2);
    QWheelEvent event(at, view.mapToGlobal(at), {}, QPoint(0, 120 * notches), Qt::NoButton, modifiers,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(&view, &event);
    QApplication::processEvents();
    return Ms(timer);
}

const char* Source(int64_t count, int width)
{
    if (count < width)
        return "points";
    if (count < 2 * int64_t(width))
        return "frame spans";
    return count < int64_t(brindle::PeakSummary::kBucketFrames) * width ? "samples" : "summary";
}

}  // namespace

int main(int argc, char* argv[])
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: measure_zoom FILE.wav\n");
        return 2;
    }
    brindle::SetUpApplication(application);
    brindle::MainFrame frame;
    frame.resize(1920, 1080);
    frame.show();
    QApplication::processEvents();
    if (!frame.OpenFile(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "measure_zoom: cannot open %s\n", argv[1]);
        return 1;
    }
    QApplication::processEvents();
    brindle::WaveformView& view = *frame.View()->Waveform();
    QScrollBar& scrollBar = *frame.View()->ScrollBar();
    const uint32_t frames = view.FrameCount();
    std::printf("sound: %u frames, %d channels; window 1920x1080, waveform %d x %d\n", frames,
                frame.GetDocument().ActiveBuffer().IsStereo() ? 2 : 1, view.width(), view.height());
    std::printf("%5s %11s %9s %-11s | %-25s | %-25s\n", "level", "frames", "per col", "from", "zoom step ms (max, median)",
                "scroll step ms (max, median)");

    constexpr int kPlaces = 12;
    const int w = view.width();
    Times worstZoom, worstScroll;
    for (int level = 0;; ++level) {
        Times zoom, scroll;
        // Zoomed in to this level around places spread over the sound; at each one step in and back
        // out, then scroll steps both ways.
        for (int place = 0; place < kPlaces; ++place) {
            const int64_t target = int64_t(frames) * (2 * place + 1) / (2 * kPlaces);
            view.ShowWholeSound();
            view.ZoomAtFrame(level, target);
            QApplication::processEvents();
            const int x = std::clamp(view.FrameToPixel(target), 0, w);
            zoom.push_back(Wheel(view, x, 1, Qt::ControlModifier));
            zoom.push_back(Wheel(view, x, -1, Qt::ControlModifier));
            if (view.IsZoomed()) {
                scroll.push_back(Wheel(view, x, place % 2 ? 1 : -1, Qt::NoModifier));
                QElapsedTimer timer;
                timer.start();
                scrollBar.triggerAction(place % 2 ? QScrollBar::SliderPageStepSub : QScrollBar::SliderPageStepAdd);
                QApplication::processEvents();
                scroll.push_back(Ms(timer));
            }
        }
        view.ShowWholeSound();
        view.ZoomAtFrame(level, frames / 2);
        const brindle::FrameRange range = view.VisibleRange();
        std::printf("%5d %11lld %9.2f %-11s | %11.2f %11.2f   | ", level, (long long)range.count,
                    double(range.count) / w, range.count == frames ? "whole" : Source(range.count, w), Longest(zoom),
                    Median(zoom));
        if (scroll.empty())
            std::printf("%-25s\n", "(nothing to scroll)");
        else
            std::printf("%11.2f %11.2f\n", Longest(scroll), Median(scroll));
        worstZoom.push_back(Longest(zoom));
        if (!scroll.empty())
            worstScroll.push_back(Longest(scroll));
        if (range.count == brindle::DeepestZoomCount(frames, w))
            break;
    }
    std::printf("longest stall over all levels: zoom step %.2f ms, scroll step %.2f ms\n", Longest(worstZoom),
                Longest(worstScroll));
    frame.GetDocument().Reset();
    return 0;
}

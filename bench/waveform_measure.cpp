// Measures the waveform on a long sound (not a test: it times things). Opens FILE in the editor's
// main window, the way a person would, and prints
//   - the time from the open command to the first full waveform on screen, and the part of it that
//     is the peak pass (the bucket summary, one read of every sample) after the load;
//   - for a run of window resizes, the longest time the UI thread spends in one step: the resize
//     with its repaint of the old peaks stretched, and the idle step that derives the new peaks;
//     beside it what one pass over every sample (the peaks computed from scratch) costs at that width;
//   - the time of one tick of the play cursor while a selection is shown (the columns the cursor
//     left and reached), and of one repaint of the whole waveform.
//
//   measure_waveform FILE.wav       (offscreen unless QT_QPA_PLATFORM says otherwise)
#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/application_setup.h"
#include "app/document_view.h"
#include "app/main_frame.h"
#include "edit/column_peaks.h"
#include "view/waveform_view.h"

namespace {

double Ms(const QElapsedTimer& timer) { return double(timer.nsecsElapsed()) / 1e6; }

struct Stats {
    std::vector<double> values;
    void Add(double v) { values.push_back(v); }
    double Max() const { return values.empty() ? 0 : *std::max_element(values.begin(), values.end()); }
    double Median() const
    {
        if (values.empty())
            return 0;
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
};

}  // namespace

int main(int argc, char* argv[])
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: measure_waveform FILE.wav\n");
        return 2;
    }
    brindle::SetUpApplication(application);
    brindle::MainFrame frame;
    frame.resize(1280, 720);
    frame.show();
    QApplication::processEvents();
    brindle::WaveformView& view = *frame.View()->Waveform();

    QElapsedTimer timer;
    timer.start();
    if (!frame.OpenFile(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "measure_waveform: cannot open %s\n", argv[1]);
        return 1;
    }
    const double openMs = Ms(timer);
    const uint32_t frames = frame.GetDocument().ActiveBuffer().FrameCount();
    std::printf("sound: %u frames, %d channels; waveform %d x %d\n", frames,
                frame.GetDocument().ActiveBuffer().IsStereo() ? 2 : 1, view.width(), view.height());
    std::printf("open to first full waveform: %.0f ms (%u columns for a width of %d)\n", openMs,
                view.Peaks().ColumnCount(), view.width());
    timer.restart();
    frame.View()->RebuildPeaks();
    std::printf("  of which the peak pass after the load (summary of every sample + columns + image): %.0f ms\n",
                Ms(timer));

    // A person dragging the window's corner: sizes in small and large steps.
    Stats resizeStep, idleStep, fromScratch;
    int width = 1280;
    int height = 720;
    for (int step = 0; step < 40; ++step) {
        width = step < 20 ? width + 23 : width - 31;
        height = step % 2 ? height + 7 : height - 5;
        timer.restart();
        frame.resize(width, height);
        QApplication::processEvents();  // the resize and the repaint of the old peaks, stretched
        view.repaint();
        resizeStep.Add(Ms(timer));
        timer.restart();
        view.IdleStep();
        idleStep.Add(Ms(timer));
        if (view.Peaks().ColumnCount() != uint32_t(view.width()))
            std::printf("  unexpected: %u columns for width %d\n", view.Peaks().ColumnCount(), view.width());
        if (step % 10 == 0) {
            std::array<std::vector<brindle::PeakColumn>, 2> peaks;
            timer.restart();
            brindle::ComputeColumnPeaks(frame.GetDocument().ActiveBuffer().channels, 0, frames, uint32_t(view.width()),
                                        peaks);
            fromScratch.Add(Ms(timer));
        }
    }
    std::printf("resize (40 steps, widths %d..%d): resize + stretched repaint median %.1f ms, max %.1f ms; "
                "idle step with the new peaks median %.1f ms, max %.1f ms\n",
                1280, width, resizeStep.Median(), resizeStep.Max(), idleStep.Median(), idleStep.Max());
    std::printf("  one pass over every sample at such a width (what each resize would cost without the summary): "
                "median %.0f ms\n",
                fromScratch.Median());

    for (const QSize size : {QSize(600, 355), QSize(1920, 1080)}) {
        frame.resize(size);
        QApplication::processEvents();
        view.IdleStep();
        brindle::PlaybackEngine& engine = frame.Engine();
        engine.SelectAll(frames);
        engine.SetSelectionStart(frames / 4, frames);
        engine.SetSelectionEnd(frames / 2, frames);
        Stats tick, whole;
        for (int i = 0; i < 300; ++i) {
            engine.SetPosition(int64_t(frames) * i / 300, frames);
            timer.restart();
            view.RepaintCursor();
            tick.Add(Ms(timer));
            timer.restart();
            view.RepaintNow();
            whole.Add(Ms(timer));
        }
        std::printf("window %dx%d (waveform %dx%d): a cursor tick while playing median %.3f ms, max %.3f ms; "
                    "a whole repaint median %.2f ms, max %.2f ms\n",
                    size.width(), size.height(), view.width(), view.height(), tick.Median(), tick.Max(),
                    whole.Median(), whole.Max());
    }
    frame.GetDocument().Reset();
    return 0;
}

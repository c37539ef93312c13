// Measures how the editor's window answers while it saves an MP3 (not a test: it times things).
// Opens SOUND in the main window and saves it as an MP3 the way the window does (progress window,
// worker thread, the editor's scheduling), while a 1 ms timer on the UI thread notes every gap between
// its ticks; prints the save's time, the UI thread's longest stall and how many stalls passed 16 and
// 50 ms. After each such save the same document is saved the way brindle-batch saves (its document
// task on a worker at the normal priority, no pauses, no window), so that the two saves stand side by
// side on the same sound in the same state of the machine; and brindle-batch itself opens and saves
// the sound, for its whole run's time.
//
//   measure_save SOUND.wav [RUNS [NICE]]   (offscreen unless QT_QPA_PLATFORM says otherwise; the MP3s
//                                           go to $TMPDIR, or /var/tmp)
//
// NICE replaces the priority the editor gives its workers, to see what it costs or buys. Every save
// starts after a sync, so that none pays for the writeback of the pages the one before left dirty.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/application_setup.h"
#include "stall_watch.h"
#include "app/main_frame.h"
#include "document/document.h"
#include "document/document_task.h"
#include "storage/temp_files.h"
#include "tasks/worker_crew.h"
#include "tasks/worker_thread.h"
#include "tasks/yield_pacer.h"

namespace {

namespace fs = std::filesystem;

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Keeps the end of a task, as brindle-batch's own notifier does; positions are not needed here.
class BatchNotifier final : public brindle::TaskNotifier {
public:
    void PostTaskNotify(uint32_t kind, uint32_t) override
    {
        if (kind != brindle::TaskPosition)
            end = kind;
    }
    std::atomic<uint32_t> end{brindle::TaskNone};
};

std::string Quoted(const fs::path& path)
{
    std::string quoted = "'";
    for (char c : path.string())
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

double RunSeconds(const std::string& command)
{
    QElapsedTimer clock;
    clock.start();
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "measure_save: failed: %s\n", command.c_str());
    return double(clock.nsecsElapsed()) / 1e9;
}

}  // namespace

int main(int argc, char* argv[])
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: measure_save SOUND.wav [RUNS [NICE]]\n");
        return 2;
    }
    const fs::path sound = fs::absolute(argv[1]);
    const int runs = argc >= 3 ? std::max(1, std::atoi(argv[2])) : 3;
    const fs::path target = brindle::TempDirectory() / "measure_save.mp3";
    brindle::SetUpApplication(application);
    if (argc == 4)
        brindle::WorkerThread::SetBackgroundNice(std::atoi(argv[3]));
    std::printf("%u usable cores; the window's loads and saves run at nice +%d, %s\n", brindle::UsableCores(),
                brindle::WorkerThread::BackgroundNice(),
                brindle::YieldPacer::IsPausing() ? "pausing 20 ms every 110 ms" : "without pauses");

    brindle::MainFrame frame;
    frame.resize(1280, 720);
    frame.show();
    QApplication::processEvents();
    StallWatch watch;
    watch.Start();
    QElapsedTimer clock;
    clock.start();
    if (!frame.OpenFile(sound)) {
        std::fprintf(stderr, "measure_save: cannot open %s\n", sound.c_str());
        return 1;
    }
    watch.Stop();
    std::printf("open: %.2f s; UI thread's longest stall %.1f ms (%d over 16 ms, %d over 50 ms, %d ticks)\n",
                double(clock.nsecsElapsed()) / 1e9, watch.Longest(), watch.Over16(), watch.Over50(), watch.Ticks());

    // The window's saves and brindle-batch's take turns, so that other work on the machine weighs on
    // both alike.
    std::vector<double> windowSaves;
    std::vector<double> batchSaves;
    const std::string batch = std::string(BRINDLE_BATCH) + " -q " + Quoted(sound) + " -o " + Quoted(target);
    const int editorNice = brindle::WorkerThread::BackgroundNice();
    for (int run = 0; run < runs; ++run) {
        ::sync();
        frame.GetDocument().SetPendingTarget(target);
        watch.Start();
        clock.restart();
        const int saved = frame.SaveDocument();
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        watch.Stop();
        frame.GetDocument().SetPendingTarget({});
        if (!saved) {
            std::fprintf(stderr, "measure_save: the window's save failed\n");
            return 1;
        }
        windowSaves.push_back(seconds);
        std::printf("window save: %.2f s; UI thread's longest stall %.1f ms, ending %.2f s in (%d over 16 ms, "
                    "%d over 50 ms, %d ticks)\n",
                    seconds, watch.Longest(), watch.LongestAt(), watch.Over16(), watch.Over50(), watch.Ticks());

        ::sync();
        brindle::WorkerThread::SetBackgroundNice(0);
        BatchNotifier notifier;
        brindle::DocumentTask task(notifier, frame.GetDocument(), brindle::TaskMode::Save, 1000);
        frame.GetDocument().SetPendingTarget(target);
        clock.restart();
        task.Start();
        task.Wait();
        const double batchSeconds = double(clock.nsecsElapsed()) / 1e9;
        frame.GetDocument().SetPendingTarget({});
        brindle::WorkerThread::SetBackgroundNice(editorNice);
        if (notifier.end != brindle::TaskFinished) {
            std::fprintf(stderr, "measure_save: the save as brindle-batch runs it failed\n");
            return 1;
        }
        batchSaves.push_back(batchSeconds);
        ::sync();
        std::printf("the same save as brindle-batch runs it: %.2f s; brindle-batch opening and saving: %.2f s\n",
                    batchSeconds, RunSeconds(batch));
    }
    std::printf("median save: window %.2f s, as brindle-batch runs it %.2f s (window / batch %.2f)\n",
                Median(windowSaves), Median(batchSaves), Median(windowSaves) / Median(batchSaves));
    fs::remove(target);
    frame.GetDocument().Reset();
    return 0;
}

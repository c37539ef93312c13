// Measures the gain edits on a long sound in the window as a user meets them (not a test: it times
// things). Opens SOUND in the main window with a session (as the editor runs), then runs fade in,
// fade out, volume 50 % and full scale on the whole sound, and a fade in and a fade out of its middle
// third, the way the window runs them. For each it prints the time from the command until the edit
// is the sound (the undo step exists and is journalled), the time until the window is idle again
// (the new picture drawn), and the UI thread's longest stall; then the disk the session folder took
// after the first five edits.
//
//   measure_gains SOUND.wav   (offscreen unless QT_QPA_PLATFORM says otherwise; the session goes to
//                              a fresh folder under $TMPDIR, or /var/tmp)
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>

#include "app/application_setup.h"
#include "app/command_ids.h"
#include "app/main_frame.h"
#include "document/document.h"
#include "playback/playback_engine.h"
#include "stall_watch.h"

namespace {

// Bytes of the files under folder.
double FolderMegabytes(const std::filesystem::path& folder)
{
    std::error_code error;
    uintmax_t bytes = 0;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
        if (it->is_regular_file(error))
            bytes += it->file_size(error);
    return double(bytes) / 1e6;
}

}  // namespace

int main(int argc, char* argv[])
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: measure_gains SOUND.wav\n");
        return 2;
    }
    const std::filesystem::path sound = std::filesystem::absolute(argv[1]);
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/var/tmp") + "/measure-gains-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::perror("measure_gains: mkdtemp");
        return 1;
    }
    const std::filesystem::path state = pattern;

    brindle::SetUpApplication(application);
    std::optional<brindle::MainFrame> frame(std::in_place);
    frame->GetPrompts().askVolume = [](QWidget*) { return std::optional<int>(50); };
    frame->resize(1280, 720);
    frame->show();
    frame->UseSessions(state);
    frame->Start({});
    QApplication::processEvents();
    if (!frame->OpenFile(sound)) {
        std::fprintf(stderr, "measure_gains: cannot open %s\n", sound.c_str());
        return 1;
    }
    ::sync();
    const double folderAfterOpen = FolderMegabytes(state);

    brindle::PlaybackEngine& engine = frame->Engine();
    const brindle::Document& document = frame->GetDocument();
    auto frames = [&] { return document.ActiveBuffer().FrameCount(); };
    struct Step {
        int id;
        const char* name;
        bool middle;  // the middle third; else the whole sound
    };
    const Step steps[] = {
        {brindle::kCmdFadeIn, "fade in", false},        {brindle::kCmdFadeOut, "fade out", false},
        {brindle::kCmdChangeVolume, "volume 50 %", false}, {brindle::kCmdIncreaseVolume, "full scale", false},
        {brindle::kCmdFadeIn, "fade in, middle", true}, {brindle::kCmdFadeOut, "fade out, middle", true},
    };
    StallWatch watch;
    QElapsedTimer clock;
    // Polled on the UI thread every millisecond, inside the tasks' event loops: when the step is made.
    QTimer poll;
    poll.setTimerType(Qt::PreciseTimer);
    poll.setInterval(1);
    size_t stepsBefore = 0;
    double committedAt = -1;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (committedAt < 0 && document.History().Position() > stepsBefore)
            committedAt = double(clock.nsecsElapsed()) / 1e6;
    });
    int done = 0;
    for (const Step& step : steps) {
        engine.Deselect();
        if (step.middle) {
            engine.SetSelectionStart(frames() / 3, frames());
            engine.SetSelectionEnd(frames() / 3 * 2, frames());
        }
        stepsBefore = document.History().Position();
        committedAt = -1;
        watch.Start();
        poll.start();
        clock.restart();
        frame->Commands().Run(step.id);
        const double idle = double(clock.nsecsElapsed()) / 1e6;
        poll.stop();
        watch.Stop();
        // An edit whose picture needed no task ends as it commits, before the timer could tick.
        if (committedAt < 0 && document.History().Position() > stepsBefore)
            committedAt = idle;
        std::printf("%-18s made in %8.1f ms; picture and idle in %8.1f ms; UI thread's longest stall %6.1f ms\n",
                    step.name, committedAt, idle, watch.Longest());
        if (++done == 5) {
            ::sync();
            std::printf("session folder after five edits: %.2f MB more than after the open\n",
                        FolderMegabytes(state) - folderAfterOpen);
        }
    }
    frame->EndSession();
    frame.reset();
    std::error_code error;
    std::filesystem::remove_all(state, error);
    return 0;
}

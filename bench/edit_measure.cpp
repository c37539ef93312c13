// Measures the window's open and edits on a long sound as a user meets them (not a test: it times
// things). Opens SOUND in the main window (to its full waveform), then runs the eight edits in turn
// the way the window runs them, with a 1 ms timer on the UI thread noting its longest stall during
// each; then, where the editor has undo, undoes and redoes every step. Prints the time of each, and
// the temporary folder's space taken after the open and after the first five edits.
//
//   measure_edits SOUND.wav   (offscreen unless QT_QPA_PLATFORM says otherwise)
//
// The program uses only what the window has long offered, so that it builds against older versions
// of the editor too and the figures can be set side by side.
#include <QApplication>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <sys/statvfs.h>
#include <unistd.h>

#include "app/application_setup.h"
#include "app/command_ids.h"
#include "app/main_frame.h"
#include "document/document.h"
#include "playback/playback_engine.h"
#include "stall_watch.h"
#include "storage/temp_files.h"

namespace {

// Bytes in use on the temporary folder's file system.
double UsedGigabytes()
{
    struct statvfs fs {};
    if (::statvfs(brindle::TempDirectory().c_str(), &fs) != 0)
        return 0;
    return double(fs.f_blocks - fs.f_bfree) * double(fs.f_frsize) / 1e9;
}

}  // namespace

int main(int argc, char* argv[])
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: measure_edits SOUND.wav\n");
        return 2;
    }
    const std::filesystem::path sound = std::filesystem::absolute(argv[1]);
    brindle::SetUpApplication(application);
    brindle::MainFrame frame;
    frame.GetPrompts().askVolume = [](QWidget*) { return std::optional<int>(50); };
    frame.GetPrompts().askStereo = [](QWidget*, const brindle::LinkHandler&) { return 1; };
    frame.resize(1280, 720);
    frame.show();
    QApplication::processEvents();

    StallWatch watch;
    QElapsedTimer clock;
    ::sync();
    const double usedBefore = UsedGigabytes();
    watch.Start();
    clock.start();
    if (!frame.OpenFile(sound)) {
        std::fprintf(stderr, "measure_edits: cannot open %s\n", sound.c_str());
        return 1;
    }
    watch.Stop();
    std::printf("open to the full waveform: %.3f s; UI thread's longest stall %.1f ms\n",
                double(clock.nsecsElapsed()) / 1e9, watch.Longest());
    ::sync();
    std::printf("temporary space after the open: %.2f GB\n", UsedGigabytes() - usedBefore);

    brindle::PlaybackEngine& engine = frame.Engine();
    auto frames = [&frame] { return frame.GetDocument().ActiveBuffer().FrameCount(); };
    struct Step {
        int id;
        const char* name;
        bool selects;  // a third of the sound from its first third; else no selection (the whole sound)
    };
    const Step steps[] = {
        {brindle::kCmdFadeIn, "fade in", false},          {brindle::kCmdToMono, "to mono", false},
        {brindle::kCmdDeleteSelected, "delete selected", true}, {brindle::kCmdChangeVolume, "volume 50 %", false},
        {brindle::kCmdToStereo, "to stereo", false},      {brindle::kCmdFadeOut, "fade out", true},
        {brindle::kCmdIncreaseVolume, "increase volume", true}, {brindle::kCmdDeleteUnselected, "delete unselected", true},
    };
    int done = 0;
    for (const Step& step : steps) {
        engine.Deselect();
        if (step.selects) {
            engine.SetSelectionStart(frames() / 3, frames());
            engine.SetSelectionEnd(frames() / 3 * 2, frames());
        }
        watch.Start();
        clock.restart();
        frame.Commands().Run(step.id);
        const double seconds = double(clock.nsecsElapsed()) / 1e9;
        watch.Stop();
        std::printf("%-18s %7.3f s; UI thread's longest stall %6.1f ms\n", step.name, seconds, watch.Longest());
        if (++done == 5) {
            ::sync();
            std::printf("temporary space after five edits: %.2f GB\n", UsedGigabytes() - usedBefore);
        }
    }
#if __has_include("document/edit_history.h")
    for (const bool back : {true, false}) {
        const int id = back ? brindle::kCmdUndo : brindle::kCmdRedo;
        double longest = 0, total = 0;
        int count = 0;
        while (frame.Commands().CanRun(id)) {
            clock.restart();
            frame.Commands().Run(id);
            const double ms = double(clock.nsecsElapsed()) / 1e6;
            longest = std::max(longest, ms);
            total += ms;
            ++count;
        }
        std::printf("%s: %d steps, %.1f ms each on average, %.1f ms the longest\n", back ? "undo" : "redo", count,
                    count ? total / count : 0.0, longest);
    }
#endif
    return 0;
}

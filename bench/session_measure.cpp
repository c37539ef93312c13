// What the crash session costs and gives back, on a real sound:
//   session_measure SOUND.wav [EDITS]   (the session goes to $XDG_STATE_HOME/brindle, else ~/.local/state)
// EDITS volume changes, fades and cuts (default 100) through a Document with a session, each synced
// as the editor does; then the session is dropped as a kill leaves it and read back into a new
// Document. Prints the median cost of an edit with its record (and of a cut, and of an undo with its
// record), the descriptors held after the edits, and the time of the recovery (reading the journal and
// building every state, no sample read).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <vector>

#include "document/document.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int OpenDescriptors()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir))
            ++count;
        ::closedir(dir);
    }
    return count - 3;
}

int Fail(const char* what)
{
    std::fprintf(stderr, "session_measure: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Fail("usage: session_measure SOUND.wav [EDITS]");
    const int edits = argc > 2 ? std::atoi(argv[2]) : 100;
    const std::filesystem::path state = brindle::StateFolder();
    std::string reason;
    auto session = brindle::Session::Create(state, reason);
    if (!session)
        return Fail(reason.c_str());
    brindle::Document document;
    document.SetSession(session.get());
    if (!document.Load(argv[1]))
        return Fail("cannot load the sound");
    const int64_t frames = document.ActiveBuffer().FrameCount();
    std::vector<double> costs, deletes, undos;
    const brindle::EditKind kinds[] = {brindle::EditKind::ChangeVolume, brindle::EditKind::FadeIn,
                                       brindle::EditKind::DeleteSelected, brindle::EditKind::FadeOut};
    for (int i = 0; i < edits; ++i) {
        const brindle::EditKind kind = kinds[i % 4];
        const int64_t length = document.ActiveBuffer().FrameCount();
        const int64_t start = (int64_t(i) * 7919 * 1000) % std::max<int64_t>(1, length - 50000);
        const auto begin = Clock::now();
        if (!document.Edit({kind, start, start + (kind == brindle::EditKind::DeleteSelected ? 441 : 44100), 90}))
            return Fail("an edit failed");
        costs.push_back(Ms(Clock::now() - begin));
        if (kind == brindle::EditKind::DeleteSelected)
            deletes.push_back(costs.back());
    }
    // Undo as the window makes it: the record first, synced, then the step.
    for (int i = 0; i < std::min(edits, 20); ++i) {
        brindle::EditMarks marks;
        const auto begin = Clock::now();
        if (!document.RecordStep(-1) || !document.Undo(marks))
            return Fail("an undo failed");
        undos.push_back(Ms(Clock::now() - begin));
    }
    for (auto* list : {&costs, &deletes, &undos})
        std::sort(list->begin(), list->end());
    auto median = [](const std::vector<double>& list) { return list.empty() ? 0.0 : list[list.size() / 2]; };
    const int descriptors = OpenDescriptors();
    document.SetSession(nullptr);
    session.reset();  // as a kill leaves it

    const auto begin = Clock::now();
    std::vector<brindle::OrphanSession> orphans = brindle::ClaimOrphanSessions(state);
    brindle::RecoveredHistory history;
    if (orphans.empty() || !orphans.back().Read(history, reason))
        return Fail(reason.empty() ? "no session found" : reason.c_str());
    brindle::Document recovered;
    if (!recovered.Recover(std::move(history)))
        return Fail("cannot take the history");
    const double recovery = Ms(Clock::now() - begin);
    std::printf("%lld frames, %d edits: median edit with its record %.2f ms (a cut %.2f ms, an undo %.2f ms), "
                "%d descriptors open, recovery %.1f ms (%zu steps)\n",
                static_cast<long long>(frames), edits, median(costs), median(deletes), median(undos), descriptors,
                recovery, recovered.History().StepCount());
    orphans.back().Delete();
    return 0;
}

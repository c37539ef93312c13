// What a paste costs the editor, on real sounds:
//   paste_measure LONG.wav OTHER.wav   (the session goes to $XDG_STATE_HOME/brindle, else ~/.local/state)
// Through a Document with a session and peaks, as the editor runs it: copies the middle hour of LONG
// (or its middle half when shorter), opens OTHER (which keeps the clip in files of its own), pastes it
// into the middle of OTHER, then copies and pastes within OTHER. Prints the time of each step and the
// disk the session folder and the clipboard's files take after it.
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include "document/document.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The bytes the session folder's files take on disk.
double FolderMegabytes(const std::filesystem::path& folder)
{
    double bytes = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) == 0)
            bytes += double(st.st_blocks) * 512;
    }
    return bytes / 1e6;
}

double FreeMegabytes(const std::filesystem::path& folder)
{
    struct statvfs fs {};
    return ::statvfs(folder.c_str(), &fs) == 0 ? double(fs.f_bavail) * double(fs.f_frsize) / 1e6 : 0;
}

int Fail(const char* what)
{
    std::fprintf(stderr, "paste_measure: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return Fail("usage: paste_measure LONG.wav OTHER.wav");
    std::string reason;
    auto session = brindle::Session::Create(brindle::StateFolder(), reason);
    if (!session)
        return Fail(reason.c_str());
    const std::filesystem::path folder = session->Path();
    brindle::Document document;
    document.SetSession(session.get());
    document.SetPreparesPeaks(true);
    auto step = [&](const char* what, auto&& run) {
        const double before = FreeMegabytes(folder);
        const auto start = Clock::now();
        if (!run())
            return false;
        const double seconds = Seconds(Clock::now() - start);
        std::printf("%-44s %8.3f s   session folder %8.1f MB   free space %+9.1f MB\n", what, seconds,
                    FolderMegabytes(folder), FreeMegabytes(folder) - before);
        return true;
    };
    if (!step("open LONG", [&] { return document.Load(argv[1]); }))
        return Fail("cannot open LONG");
    const int64_t n = document.ActiveBuffer().FrameCount();
    const int64_t hour = int64_t(document.ActiveBuffer().channels.SampleRate()) * 3600;
    const int64_t length = std::min(hour, n / 2);
    const int64_t from = (n - length) / 2;
    if (!step("copy the middle hour of LONG", [&] { return document.CopyToClip(from, from + length); }))
        return Fail("cannot copy");
    if (!step("open OTHER (the clip copied out of LONG)", [&] { return document.Load(argv[2]); }))
        return Fail("cannot open OTHER");
    const int64_t middle = document.ActiveBuffer().FrameCount() / 2;
    auto paste = [&] {
        // PrepareEdit is the worker's half, CommitEdit the window's.
        if (!document.PrepareEdit({brindle::EditKind::Paste, middle, middle}))
            return false;
        document.CommitEdit();
        return true;
    };
    if (!step("paste it into the middle of OTHER", paste))
        return Fail(document.LastFailure().text.c_str());
    if (!step("copy an hour of OTHER", [&] { return document.CopyToClip(0, std::min(hour, middle)); }))
        return Fail("cannot copy");
    if (!step("paste it within OTHER", paste))
        return Fail(document.LastFailure().text.c_str());
    session->Remove();
    return 0;
}

// The save of a long MP3 after one cut in the middle, as the document makes it (frames copied, seams
// encoded anew, the file checked at its seams), beside the full encode of the same sound
// that the save falls back to. Prints the time and the bytes of each.
//
//   lossless_save_measure IN.mp3 OUT_FOLDER [CUT_SECONDS [anywhere]]
//
// The cut is about CUT_SECONDS (default 10) long from the middle of the sound, its edges put where the
// «Привязать к кадрам MP3» option puts them; with "anywhere", exactly there, so that the frames after
// it are encoded anew. Run it a few times and on a quiet machine; it prints one line per save.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "document/document.h"
#include "formats/mp3_encoder.h"
#include "tasks/progress.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// This process's bytes read and written through system calls so far (/proc/self/io).
struct Io {
    unsigned long long read = 0, written = 0;
};

Io ReadIo()
{
    Io io;
    std::ifstream in("/proc/self/io");
    std::string key;
    unsigned long long value = 0;
    while (in >> key >> value) {
        if (key == "rchar:")
            io.read = value;
        else if (key == "wchar:")
            io.written = value;
    }
    return io;
}

void Report(const char* what, double seconds, const Io& before, const std::filesystem::path& file)
{
    const Io after = ReadIo();
    std::printf("%-28s %8.3f s  file %12llu bytes  written %12llu  read %12llu\n", what, seconds,
                (unsigned long long)std::filesystem::file_size(file), after.written - before.written,
                after.read - before.read);
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace brindle;
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s IN.mp3 OUT_FOLDER [CUT_SECONDS]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[2];
    const double cutSeconds = argc > 3 ? std::atof(argv[3]) : 10.0;
    Document document;
    auto start = std::chrono::steady_clock::now();
    if (!document.Load(argv[1])) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    std::printf("load %.3f s, %u samples\n", SecondsSince(start), document.ActiveBuffer().frameCount);
    int64_t from = document.ActiveBuffer().frameCount / 2;
    int64_t to = from + int64_t(cutSeconds * document.ActiveBuffer().format.samplesPerSecond);
    const auto grid = document.Mp3FrameGrid();
    if (grid && !(argc > 4 && std::string(argv[4]) == "anywhere")) {
        from += (int64_t(grid->phase) - from % grid->step + grid->step) % grid->step;
        to += (int64_t(grid->phase) - to % grid->step + grid->step) % grid->step;
    }
    std::printf("cut [%lld, %lld)\n", (long long)from, (long long)to);
    if (!document.DeleteRange(from, to, true))
        return 1;

    const std::filesystem::path copied = folder / "lossless.mp3";
    Io io = ReadIo();
    start = std::chrono::steady_clock::now();
    Progress progress(1000);
    // A cut anywhere copies the longer side and encodes the shorter one anew.
    if (!document.Save(copied, &progress) || document.ReencodedPercent() == 100) {
        std::fprintf(stderr, "the save did not copy: %s\n", document.ReencodeReason().c_str());
        return 1;
    }
    if (!document.SavedWithoutReencoding())
        std::printf("%u %% encoded anew: %s\n", unsigned(document.ReencodedPercent()), document.ReencodeReason().c_str());
    Report("save, frames copied", SecondsSince(start), io, copied);

    const std::filesystem::path encoded = folder / "encoded.mp3";
    io = ReadIo();
    start = std::chrono::steady_clock::now();
    Progress encodeProgress(1000);
    if (!EncodeToMp3(encoded, document.ActiveBuffer(), &encodeProgress))
        return 1;
    Report("full encode", SecondsSince(start), io, encoded);
    return 0;
}

// Runs one MP3 import or export the way the editor does, for timing beside mpg123 and lame
// (bench/mp3_compare.sh runs it under hyperfine).
//
//   mp3_bench load IN.mp3            LoadMp3 into a sound (decode to a temporary WAV, then import)
//   mp3_bench save IN.wav OUT.mp3    LoadWav, then SaveMp3; the save alone is timed and printed
//
// Exit status 0 on success. Temporary files go to $TMPDIR (else /var/tmp).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "formats/mp3_document.h"
#include "formats/wav_file.h"
#include "tasks/progress.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    using namespace brindle;
    if (argc == 3 && std::strcmp(argv[1], "load") == 0) {
        Mp3Document document;
        Progress progress(600);
        const auto start = std::chrono::steady_clock::now();
        if (!document.LoadMp3(argv[2], &progress)) {
            std::fprintf(stderr, "LoadMp3 failed: %s\n", argv[2]);
            return 1;
        }
        std::fprintf(stderr, "LoadMp3: %u frames in %.3f s\n", document.buffer.frameCount, SecondsSince(start));
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "save") == 0) {
        Mp3Document document;
        auto start = std::chrono::steady_clock::now();
        if (!LoadWav(document.buffer, argv[2], nullptr)) {
            std::fprintf(stderr, "LoadWav failed: %s\n", argv[2]);
            return 1;
        }
        std::fprintf(stderr, "LoadWav: %.3f s\n", SecondsSince(start));
        Progress progress(600);
        start = std::chrono::steady_clock::now();
        if (!document.SaveMp3(argv[3], &progress)) {
            std::fprintf(stderr, "SaveMp3 failed: %s\n", argv[3]);
            return 1;
        }
        std::fprintf(stderr, "SaveMp3: %.3f s\n", SecondsSince(start));
        return 0;
    }
    std::fprintf(stderr, "usage: %s load IN.mp3 | save IN.wav OUT.mp3\n", argv[0]);
    return 2;
}

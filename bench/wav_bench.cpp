// Times LoadWav and SaveWav on one file, for bench/wav_compare.sh to set beside sox.
//   wav_bench load IN.wav             loads (16-bit PCM into float stores in $TMPDIR)
//   wav_bench loadsave IN.wav OUT.wav loads, then saves the sound as OUT.wav
// Prints the time of each step and its rate in MB of WAV data per second; exit status 1 on failure.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "formats/wav_file.h"
#include "storage/sound_buffer.h"

namespace {

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

void Report(const char* step, double seconds, uint64_t bytes)
{
    std::printf("%-5s %8.3f s  %8.1f MB/s\n", step, seconds, double(bytes) / 1e6 / seconds);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool save = argc == 4 && std::strcmp(argv[1], "loadsave") == 0;
    if (!save && !(argc == 3 && std::strcmp(argv[1], "load") == 0)) {
        std::fprintf(stderr, "usage: %s load IN.wav | loadsave IN.wav OUT.wav\n", argv[0]);
        return 2;
    }
    brindle::SoundBuffer buffer;
    const auto start = std::chrono::steady_clock::now();
    if (!brindle::LoadWav(buffer, argv[2], nullptr)) {
        std::fprintf(stderr, "LoadWav failed: %s\n", argv[2]);
        return 1;
    }
    const auto loaded = std::chrono::steady_clock::now();
    const uint64_t dataBytes = uint64_t(buffer.channels.FrameCount()) * buffer.format.blockAlign;
    Report("load", Seconds(loaded - start), dataBytes);
    if (save) {
        if (!brindle::SaveWav(buffer, argv[3], nullptr)) {
            std::fprintf(stderr, "SaveWav failed: %s\n", argv[3]);
            return 1;
        }
        Report("save", Seconds(std::chrono::steady_clock::now() - loaded), dataBytes);
    }
    return 0;
}

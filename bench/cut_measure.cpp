// Measures what many small cuts cost (not a test: it times things and prints sizes).
//
//   cut_measure [SOUND10.wav [SOUND60.wav]]   (the stores go to $TMPDIR, or /var/tmp)
//
// 1. Memory after opening a 10-minute stereo 44.1 kHz sound, then after 1,000 and after 10,000 cuts
//    made through Document::Edit, each a short delete (50 to 1,000 frames) somewhere in the sound,
//    with the whole undo history kept: the heap in use (mallinfo2) and the anonymous resident memory
//    (RssAnon, which leaves out the mapped stores' file pages). Then the time of one cut and one undo
//    among the 10,000, and of the waveform's columns.
// 2. On an hour-long stereo sound, just opened and again after 1,000 cuts: the time of one delete
//    (Document::Edit, as the editor makes it, with its peaks) and of one undo, median and longest of 21.
//
// A sound not given is written (16-bit, 44.1 kHz, stereo) into the temporary folder and deleted after.
// The program uses only what the Document has long offered, so that it builds against older versions
// too and the figures can be set side by side.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "document/document.h"
#include "storage/temp_files.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "cut_measure: %s\n", what);
    std::exit(1);
}

double HeapMegabytes()
{
    const struct mallinfo2 info = ::mallinfo2();
    return double(info.uordblks + info.hblkhd) / 1e6;
}

// A field of /proc/self/status in kB, as MB.
double StatusMegabytes(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::atof(line.c_str() + length + 1) / 1e3;
    return 0;
}

struct Memory {
    double heap = HeapMegabytes();
    double anon = StatusMegabytes("RssAnon");
};

// A stereo 16-bit 44.1 kHz WAV of the given length: a slow tone with a little noise.
fs::path WriteSound(uint32_t minutes)
{
    const fs::path path =
        fs::path(brindle::TempDirectory()) / ("cut-measure-" + std::to_string(::getpid()) + "-" + std::to_string(minutes) + ".wav");
    const uint32_t frames = 44100u * 60u * minutes;
    const uint32_t bytes = frames * 4;
    std::ofstream out(path, std::ios::binary);
    auto put32 = [&out](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [&out](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    put32(36 + bytes);
    out.write("WAVEfmt ", 8);
    put32(16);
    put16(1);
    put16(2);
    put32(44100);
    put32(44100 * 4);
    put16(4);
    put16(16);
    out.write("data", 4);
    put32(bytes);
    std::minstd_rand noise(1);
    std::vector<int16_t> block(2 * 65536);
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min<uint32_t>(frames - done, 65536);
        for (uint32_t k = 0; k < n; ++k) {
            const double t = double(done + k) / 44100.0;
            const double tone = 8000.0 * std::sin(2 * M_PI * 220.0 * t);
            block[2 * k] = int16_t(tone + double(int(noise() % 2001) - 1000));
            block[2 * k + 1] = int16_t(-tone + double(int(noise() % 2001) - 1000));
        }
        out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(n) * 4);
        done += n;
    }
    if (!out.flush())
        Fail("cannot write a sound into the temporary folder");
    return path;
}

void Open(brindle::Document& document, const fs::path& sound)
{
    document.SetPreparesPeaks(true);  // as the editor does
    if (!document.Load(sound))
        Fail("cannot load the sound");
    if (!document.ActiveBuffer().IsStereo())
        Fail("the sound is not stereo");
}

// One short delete somewhere in the sound.
void Cut(brindle::Document& document, std::minstd_rand& random)
{
    const int64_t frames = document.ActiveBuffer().FrameCount();
    const int64_t length = 50 + int64_t(random() % 951);
    const int64_t at = int64_t(random() % uint64_t(frames - length));
    if (!document.DeleteRange(at, at + length, true))
        Fail("a cut failed");
}

struct Times {
    double median = 0;
    double longest = 0;
};

Times Summarise(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.back()};
}

// A delete in the middle and its undo, 21 times over: each one's time.
void TimeDeleteAndUndo(brindle::Document& document, std::minstd_rand& random, Times& cut, Times& undo)
{
    std::vector<double> cuts, undos;
    for (int i = 0; i < 21; ++i) {
        const int64_t frames = document.ActiveBuffer().FrameCount();
        const int64_t at = frames / 3 + int64_t(random() % uint64_t(frames / 3));
        auto start = Clock::now();
        if (!document.DeleteRange(at, at + 4410, true))
            Fail("a delete failed");
        cuts.push_back(MillisecondsSince(start));
        brindle::EditMarks marks;
        start = Clock::now();
        if (!document.Undo(marks))
            Fail("an undo failed");
        undos.push_back(MillisecondsSince(start));
    }
    cut = Summarise(cuts);
    undo = Summarise(undos);
}

// The waveform's 1280 columns of the whole sound, median of 5 (CUT_MEASURE_COLUMNS=n: of n).
double TimeColumns(const brindle::Document& document)
{
    const char* runs = std::getenv("CUT_MEASURE_COLUMNS");
    std::vector<double> ms;
    for (int i = 0; i < (runs ? std::max(1, std::atoi(runs)) : 5); ++i) {
        std::array<std::vector<brindle::PeakColumn>, 2> peaks;
        const auto start = Clock::now();
        if (!document.Peaks().ComputeColumns(document.ActiveBuffer().channels, 1280, peaks))
            Fail("the waveform's columns failed");
        ms.push_back(MillisecondsSince(start));
    }
    return Summarise(ms).median;
}

template <class Channel>
size_t PieceCountOf(const Channel& channel)
{
    if constexpr (requires { channel.PieceCount(); })
        return channel.PieceCount();
    else
        return channel.Pieces().size();
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<fs::path> written;
    const fs::path ten = argc > 1 ? fs::absolute(argv[1]) : written.emplace_back(WriteSound(10));
    const fs::path hour = argc > 2 ? fs::absolute(argv[2]) : written.emplace_back(WriteSound(60));
    std::minstd_rand random(20240611);

    {
        const Memory start;
        brindle::Document document;
        Open(document, ten);
        const Memory open;
        std::printf("10-minute stereo sound: heap %.1f MB, anonymous resident %.1f MB before the open\n", start.heap,
                    start.anon);
        std::printf("  after the open:       heap %7.1f MB, anonymous resident %7.1f MB\n", open.heap, open.anon);
        const auto begin = Clock::now();
        int done = 0;
        for (const int target : {1000, 10000}) {
            for (; done < target; ++done)
                Cut(document, random);
            const Memory now;
            std::printf("  after %5d cuts:      heap %7.1f MB (+%.1f), anonymous resident %7.1f MB (+%.1f); %zu pieces a "
                        "channel, %.1f s of cutting so far\n",
                        target, now.heap, now.heap - open.heap, now.anon, now.anon - open.anon,
                        PieceCountOf(document.ActiveBuffer().channels.Channel(0)), MillisecondsSince(begin) / 1e3);
        }
        Times cut, undo;
        TimeDeleteAndUndo(document, random, cut, undo);
        std::printf("  then one delete %.3f ms (longest %.3f), one undo %.3f ms (longest %.3f), 1280 waveform columns "
                    "%.1f ms\n",
                    cut.median, cut.longest, undo.median, undo.longest, TimeColumns(document));
    }

    {
        brindle::Document document;
        Open(document, hour);
        std::printf("hour-long stereo sound, median (longest) of 21:\n");
        for (const int cuts : {0, 1000}) {
            for (int i = 0; i < cuts; ++i)
                Cut(document, random);
            Times cut, undo;
            TimeDeleteAndUndo(document, random, cut, undo);
            std::printf("  after %4d cuts: one delete %.3f ms (%.3f), one undo %.3f ms (%.3f)\n", cuts, cut.median,
                        cut.longest, undo.median, undo.longest);
        }
    }
    for (const fs::path& path : written)
        fs::remove(path);
    return 0;
}

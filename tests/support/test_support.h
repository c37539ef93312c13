// Shared helpers for the core tests: a fresh temporary folder per test that also serves as the
// program's temporary directory, and small tools to fill and read channel stores.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "edit/column_peaks.h"
#include "edit/edit_kernels.h"
#include "tasks/progress.h"

namespace brindle {
class ChannelSet;
class ChannelStore;
class PeakSummary;
class SoundBuffer;
}

namespace brindle::test {

// Makes a fresh folder, points $TMPDIR at it for the test's duration (so every "~Ve" file the code
// makes lands there) and removes it afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const std::filesystem::path& Dir() const { return dir_; }
    std::filesystem::path PathOf(const std::string& name) const { return dir_ / name; }
    // The temporary files this process holds in the folder: names starting with "~Ve", and, as
    // "/proc/self/fd/N", every descriptor of the process on a file of the folder that has no name
    // (the sample stores and conversion copies): empty once every owner is gone.
    std::vector<std::filesystem::path> TempFiles() const;

private:
    std::filesystem::path dir_;
    std::string oldTmpdir_;
    bool hadTmpdir_ = false;
};

// Descriptors of process pid on files of folder that have no name (or lost it), as
// "/proc/PID/fd/N": what a process holds that vanishes with it.
std::vector<std::filesystem::path> UnnamedFilesOf(pid_t pid, const std::filesystem::path& folder);

// Writes values into a compact store, block by block.
void FillStore(ChannelStore& store, const std::vector<float>& values);
// Reads a store's samples.
std::vector<float> ReadStore(const ChannelStore& store);
// Whole file as bytes.
std::vector<unsigned char> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes);
// A canonical 16-bit stereo 44.1 kHz WAV of `frames` silent frames, written sparse so that even an
// hour costs nothing to make: for tests where the length matters and the samples do not.
void WriteSilentStereoWav(const std::filesystem::path& path, uint32_t frames);
// The path in single quotes for a shell command line, any single quote in it escaped.
std::string Quoted(const std::filesystem::path& path);

// The waveform's column rule, one sample at a time, over frames [first, end): frame g belongs to
// column columns * (g - first) / (end - first); the frame where the column changes closes the previous
// column and opens its own without being folded in. sample(c, g) is channel c's sample at frame g.
std::array<std::vector<PeakColumn>, 2> ReferenceColumnPeaks(const std::function<float(int, int64_t)>& sample,
                                                            int channels, int64_t first, int64_t end,
                                                            uint32_t columns);

// Marks a file or folder immutable (the file system's FS_IMMUTABLE_FL) for the guard's lifetime: even
// root can then neither write the file nor create files in the folder. IsSet() is false where the
// file system (or the caller's rights) cannot.
class ImmutableFile {
public:
    explicit ImmutableFile(std::filesystem::path path);
    ~ImmutableFile();
    ImmutableFile(const ImmutableFile&) = delete;
    ImmutableFile& operator=(const ImmutableFile&) = delete;
    bool IsSet() const { return isSet_; }

private:
    bool SetFlag(bool on) const;
    std::filesystem::path path_;
    bool isSet_ = false;
};

// Checks that buffer carries the format record of a 16-bit stereo 44.1 kHz PCM WAV of frames frames,
// as every import gives whatever it decoded.
void ExpectStereo16Record(const SoundBuffer& buffer, uint32_t frames);
// Runs a shell command with LC_ALL=C.UTF-8 and TZ=UTC set for it; returns its exit status.
int RunCommand(const std::string& command);
// The shared real-world corpus folder (may be missing on a developer's machine).
std::filesystem::path CorpusDir();

}  // namespace brindle::test

namespace brindle::test {

// Records, each time the bar moves, the largest count seen (say, of the temporary files the process
// holds while an import runs).
class TempFileWatch final : public Progress {
public:
    explicit TempFileWatch(std::function<size_t()> count) : Progress(1000), count_(std::move(count)) {}
    size_t most = 0;

protected:
    void OnPositionChanged() override { most = std::max(most, count_()); }

private:
    std::function<size_t()> count_;
};

// Lowers the soft limit on file size for the test's duration so that growing a file fails with
// EFBIG (SIGXFSZ is ignored meanwhile): the one disk-full condition a test can make on demand.
// Cancels the operation the stepth time its bar moves (never for 0), counting the moves: run once
// with 0 to count them, then once cancelling at each.
class CancelAtStep final : public Progress {
public:
    explicit CancelAtStep(int step, uint32_t range = 100) : Progress(range), step_(step) {}
    int steps = 0;

protected:
    void OnPositionChanged() override
    {
        if (++steps == step_)
            Cancel();
    }

private:
    int step_;
};

class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long long oldSoft_ = 0;
    void (*oldHandler_)(int) = nullptr;
};

// While one lives, volume changes and fades write their results into stores, as they did before pieces
// carried gains: for tests of what writing costs (disk, files), and to compare the two paths.
class WrittenGains {
public:
    WrittenGains() { SetGainsAsPieces(false); }
    ~WrittenGains() { SetGainsAsPieces(true); }
    WrittenGains(const WrittenGains&) = delete;
    WrittenGains& operator=(const WrittenGains&) = delete;
};

// A stereo 16-bit 44.1 kHz sine of 440 Hz at half scale by sox; for a name ending in .mp3 (any case)
// encoded by lame with lameOptions.
std::filesystem::path MakeToneFile(const std::filesystem::path& path, double seconds,
                                   const std::string& lameOptions = "-V 4");
// Every sample of every channel of sound.
std::vector<std::vector<float>> SamplesOf(const SoundBuffer& sound);
// The columns summary gives for sound at width, over [first, end) (the whole sound through the
// overload without a range when first is -1), against ComputeColumnPeaks of direct read directly.
void ExpectSummaryColumns(const PeakSummary& summary, const ChannelSet& sound, const ChannelSet& direct,
                          uint32_t width, int64_t first = -1, int64_t end = -1);

}  // namespace brindle::test

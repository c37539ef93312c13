#include "support/test_support.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "edit/peak_summary.h"
#include "storage/channel_store.h"
#include "storage/sound_buffer.h"
#include "storage/unique_fd.h"

namespace brindle::test {

void TempDirTest::SetUp()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "brindle-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    dir_ = pattern;
    if (const char* old = std::getenv("TMPDIR")) {
        hadTmpdir_ = true;
        oldTmpdir_ = old;
    }
    ::setenv("TMPDIR", dir_.c_str(), 1);
}

void TempDirTest::TearDown()
{
    if (hadTmpdir_)
        ::setenv("TMPDIR", oldTmpdir_.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir_, ec);
}

std::vector<std::filesystem::path> UnnamedFilesOf(pid_t pid, const std::filesystem::path& folder)
{
    std::error_code ec;
    const std::string prefix = std::filesystem::canonical(folder, ec).string() + "/";
    const std::string self = pid == ::getpid() ? "/proc/self/fd/" : "/proc/" + std::to_string(pid) + "/fd/";
    std::vector<std::filesystem::path> found;
    // A process that just exited has no folder any more: it holds nothing.
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        std::error_code linkError;
        const std::string target = std::filesystem::read_symlink(entry.path(), linkError).string();
        const std::string deleted = " (deleted)";
        if (!linkError && target.rfind(prefix, 0) == 0 && target.size() > deleted.size() &&
            target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
            found.push_back(self + entry.path().filename().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::filesystem::path> TempDirTest::TempFiles() const
{
    std::vector<std::filesystem::path> found = UnnamedFilesOf(::getpid(), dir_);
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
        if (entry.path().filename().string().rfind("~Ve", 0) == 0)
            found.push_back(entry.path());
    }
    return found;
}

void FillStore(ChannelStore& store, const std::vector<float>& values)
{
    ASSERT_EQ(size_t(store.StoredLength()), values.size());
    for (uint32_t block = 0; block < store.BlockCount(); ++block)
        ASSERT_EQ(store.WriteSamples(block * kBlockSamples, values.data() + size_t(block) * kBlockSamples,
                                     store.SamplesInBlock(block)),
                  1);
}

std::vector<float> ReadStore(const ChannelStore& store)
{
    std::vector<float> samples(store.StoredLength());
    if (!samples.empty() && !store.ReadSamples(0, samples.data(), uint32_t(samples.size()))) {
        ADD_FAILURE() << "the store could not be read";
        return {};
    }
    return samples;
}

std::vector<unsigned char> ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::filesystem::path& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void WriteSilentStereoWav(const std::filesystem::path& path, uint32_t frames)
{
    const uint32_t data = frames * 4;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + data);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);       // PCM
    u16(2);       // stereo
    u32(44100);
    u32(176400);  // bytes per second
    u16(4);       // block align
    u16(16);
    out.write("data", 4);
    u32(data);
    out.close();
    std::filesystem::resize_file(path, 44 + uint64_t(data));
}

std::array<std::vector<PeakColumn>, 2> ReferenceColumnPeaks(const std::function<float(int, int64_t)>& sample,
                                                            int channels, int64_t first, int64_t end,
                                                            uint32_t columns)
{
    std::array<std::vector<PeakColumn>, 2> peaks;
    const int64_t n = end - first;
    float max[2] = {0, 0}, min[2] = {0, 0};
    int64_t current = -1;
    for (int64_t g = first; g < end; ++g) {
        const int64_t column = int64_t(columns) * (g - first) / n;
        if (column != current) {
            for (int c = 0; c < channels && current >= 0; ++c)
                peaks[size_t(c)].push_back({std::min(max[c], 1.0f), std::max(min[c], -1.0f)});
            max[0] = max[1] = min[0] = min[1] = 0;
            current = column;
            continue;
        }
        for (int c = 0; c < channels; ++c) {
            const float x = sample(c, g);
            if (x >= 0 && x >= max[c])
                max[c] = x;
            if (x < 0 && x <= min[c])
                min[c] = x;
        }
    }
    for (int c = 0; c < channels && n > 0; ++c)
        peaks[size_t(c)].push_back({std::min(max[c], 1.0f), std::max(min[c], -1.0f)});
    return peaks;
}

ImmutableFile::ImmutableFile(std::filesystem::path path) : path_(std::move(path)) { isSet_ = SetFlag(true); }

ImmutableFile::~ImmutableFile()
{
    if (isSet_)
        SetFlag(false);
}

bool ImmutableFile::SetFlag(bool on) const
{
    UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    int flags = 0;
    if (!fd.IsValid() || ::ioctl(fd.Get(), FS_IOC_GETFLAGS, &flags) != 0)
        return false;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    return ::ioctl(fd.Get(), FS_IOC_SETFLAGS, &flags) == 0;
}

void ExpectStereo16Record(const SoundBuffer& buffer, uint32_t frames)
{
    EXPECT_EQ(buffer.format.formatTag, 1);
    EXPECT_EQ(buffer.format.channelCount, 2);
    EXPECT_EQ(buffer.format.samplesPerSecond, 44100u);
    EXPECT_EQ(buffer.format.avgBytesPerSecond, 44100u * 4);
    EXPECT_EQ(buffer.format.blockAlign, 4);
    EXPECT_EQ(buffer.format.bitsPerSample, 16);
    EXPECT_EQ(buffer.frameCount, frames);
    EXPECT_EQ(buffer.dataByteCount, frames * 4);
}

std::string Quoted(const std::filesystem::path& path)
{
    std::string quoted = "'";
    for (char c : path.string()) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

int RunCommand(const std::string& command)
{
    // The tools convert arguments and names through the locale (lame writes no title given in UTF-8
    // under the C locale) and may print times: give every child the same locale and zone whatever the
    // caller's environment holds.
    const int status = std::system(("export LC_ALL=C.UTF-8 TZ=UTC; " + command).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::filesystem::path CorpusDir() { return BRINDLE_CORPUS_DIR; }

}  // namespace brindle::test

#include <csignal>
#include <sys/resource.h>

namespace brindle::test {

FileSizeLimit::FileSizeLimit(unsigned long long bytes)
{
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    oldSoft_ = limit.rlim_cur;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit()
{
    rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = oldSoft_;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, oldHandler_);
}

std::filesystem::path MakeToneFile(const std::filesystem::path& path, double seconds, const std::string& lameOptions)
{
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::filesystem::path wav = extension == ".mp3" ? std::filesystem::path(path.string() + ".src.wav") : path;
    EXPECT_EQ(RunCommand("sox -n -r 44100 -c 2 -b 16 " + Quoted(wav) + " synth " + std::to_string(seconds) +
                         " sine 440 vol 0.5"),
              0);
    if (wav != path) {
        EXPECT_EQ(RunCommand("lame --quiet " + lameOptions + " " + Quoted(wav) + " " + Quoted(path)), 0);
        std::filesystem::remove(wav);
    }
    return path;
}

std::vector<std::vector<float>> SamplesOf(const SoundBuffer& sound)
{
    std::vector<std::vector<float>> channels;
    for (int c = 0; c < sound.channels.ChannelCount(); ++c)
        channels.push_back(ReadStore(sound.channels.Channel(c)));
    return channels;
}

void ExpectSummaryColumns(const PeakSummary& summary, const ChannelSet& sound, const ChannelSet& direct,
                          uint32_t width, int64_t first, int64_t end)
{
    SCOPED_TRACE("width " + std::to_string(width) + " from " + std::to_string(first));
    std::array<std::vector<PeakColumn>, 2> got, want;
    ASSERT_TRUE(summary.IsBuiltFor(sound));
    if (first < 0) {
        ASSERT_EQ(summary.ComputeColumns(sound, width, got), 1);
        ASSERT_EQ(ComputeColumnPeaks(direct, 0, direct.FrameCount(), width, want, nullptr), 1);
    } else {
        ASSERT_EQ(summary.ComputeColumns(sound, first, end, width, got), 1);
        ASSERT_EQ(ComputeColumnPeaks(direct, first, end, width, want, nullptr), 1);
    }
    for (int c = 0; c < direct.ChannelCount(); ++c) {
        ASSERT_EQ(got[c].size(), want[c].size());
        for (size_t k = 0; k < want[c].size(); ++k) {
            ASSERT_EQ(got[c][k].max, want[c][k].max) << "channel " << c << " column " << k;
            ASSERT_EQ(got[c][k].min, want[c][k].min) << "channel " << c << " column " << k;
        }
    }
}

}  // namespace brindle::test

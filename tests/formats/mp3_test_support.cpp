#include "formats/mp3_test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>

#include "storage/sound_buffer.h"
#include "storage/unique_fd.h"

namespace brindle::test {
namespace {

uint32_t Le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint32_t Le16(const unsigned char* p) { return p[0] | p[1] << 8; }

}  // namespace

Pcm16 ReadPcm16Wav(const std::filesystem::path& path)
{
    Pcm16 result;
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return result;
    size_t at = 12;
    bool hasFormat = false;
    while (at + 8 <= bytes.size()) {
        const uint32_t size = Le32(&bytes[at + 4]);
        const unsigned char* body = &bytes[at + 8];
        const size_t available = bytes.size() - at - 8;
        if (std::memcmp(&bytes[at], "fmt ", 4) == 0 && size >= 16 && available >= 16) {
            if (Le16(body) != 1 || Le16(body + 14) != 16)
                return result;
            result.channels = Le16(body + 2);
            result.rate = Le32(body + 4);
            hasFormat = true;
        } else if (std::memcmp(&bytes[at], "data", 4) == 0 && hasFormat) {
            const size_t count = std::min<size_t>(size, available) / 2;
            result.samples.resize(count);
            for (size_t i = 0; i < count; ++i)
                result.samples[i] = int16_t(Le16(body + 2 * i));
            result.isValid = true;
            return result;
        }
        at += 8 + size + (size & 1);
    }
    return result;
}

Pcm16 BufferPcm16(SoundBuffer& buffer)
{
    Pcm16 result;
    result.channels = buffer.channels.ChannelCount();
    result.rate = buffer.format.samplesPerSecond;
    if (result.channels == 0)
        return result;
    result.samples.resize(size_t(buffer.frameCount) * result.channels);
    uint32_t frame = 0;
    const uint32_t chunk = 65536 * result.channels;
    while (frame < buffer.frameCount) {
        const uint32_t got = buffer.ReadInterleaved16(result.samples.data() + size_t(frame) * result.channels,
                                                      std::min<uint64_t>(chunk, (uint64_t(buffer.frameCount) - frame) *
                                                                                    result.channels),
                                                      frame);
        if (got == 0)
            return result;
        frame += got / result.channels;
    }
    result.isValid = true;
    return result;
}

int DecodeWithMpg123(const std::filesystem::path& mp3, const std::filesystem::path& wav)
{
    return RunCommand("mpg123 -q -w " + Quoted(wav) + " " + Quoted(mp3) + " 2>/dev/null");
}

Pcm16 Mpg123Pcm(const std::filesystem::path& mp3)
{
    const std::filesystem::path wav = mp3.string() + ".mpg123.wav";
    const Pcm16 pcm = DecodeWithMpg123(mp3, wav) == 0 ? ReadPcm16Wav(wav) : Pcm16();
    std::filesystem::remove(wav);
    return pcm;
}

std::string FirstDifference(const Pcm16& a, const Pcm16& b)
{
    if (a.channels != b.channels || a.rate != b.rate || a.samples.size() != b.samples.size())
        return "format or length differs: " + std::to_string(a.Frames()) + " frames against " +
               std::to_string(b.Frames());
    const auto at = std::mismatch(a.samples.begin(), a.samples.end(), b.samples.begin()).first - a.samples.begin();
    return size_t(at) == a.samples.size() ? std::string() : "sample " + std::to_string(at) + " differs";
}

bool HasTool(const std::string& name) { return RunCommand("command -v " + name + " >/dev/null 2>&1") == 0; }

std::string Output(const std::string& command)
{
    std::string text;
    FILE* pipe = ::popen(("LC_ALL=C.UTF-8 TZ=UTC " + command).c_str(), "r");
    if (!pipe)
        return text;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        text.append(buffer, n);
    ::pclose(pipe);
    return text;
}

void SoxSynth(const std::filesystem::path& wav, int rate, int channels, const std::string& effects, int bits)
{
    const std::string command = "sox -D -R -n -r " + std::to_string(rate) + " -c " + std::to_string(channels) +
                                " -b " + std::to_string(bits) + " " + Quoted(wav) + " " + effects + " 2>/dev/null";
    EXPECT_EQ(RunCommand(command), 0) << command;
}

Mp3FrameIndex IndexOf(const std::filesystem::path& mp3)
{
    Mp3FrameIndex index;
    UniqueFd fd(::open(mp3.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(fd.IsValid()) << mp3;
    EXPECT_EQ(IndexMp3Frames(fd.Get(), std::filesystem::file_size(mp3), nullptr, index), 1) << mp3;
    return index;
}

std::vector<std::string> CorpusMp3s()
{
    std::ifstream manifest(CorpusDir() / "MANIFEST.tsv");
    std::vector<std::string> names;
    for (std::string line; std::getline(manifest, line);) {
        if (line.find("\tmp3\t") != std::string::npos)
            names.push_back((CorpusDir() / line.substr(0, line.find('\t'))).string());
    }
    return names;
}

FrameWalk WalkMp3Frames(const std::filesystem::path& path)
{
    static const uint32_t kBitratesV1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const uint32_t kBitratesV2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    static const uint32_t kRates[4] = {44100, 48000, 32000, 0};
    FrameWalk walk;
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    size_t at = 0;
    if (bytes.size() >= 10 && std::memcmp(bytes.data(), "ID3", 3) == 0)
        at = 10 + ((bytes[6] & 0x7F) << 21 | (bytes[7] & 0x7F) << 14 | (bytes[8] & 0x7F) << 7 | (bytes[9] & 0x7F));
    while (at + 4 <= bytes.size()) {
        const unsigned char* h = &bytes[at];
        if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
            break;
        const int version = (h[1] >> 3) & 3;  // 3 = MPEG-1, 2 = MPEG-2, 0 = MPEG-2.5
        const int layer = (h[1] >> 1) & 3;    // 1 = layer III
        const int bitrateIndex = h[2] >> 4;
        const int rateIndex = (h[2] >> 2) & 3;
        if (version == 1 || layer != 1 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
            break;
        const uint32_t bitrate = version == 3 ? kBitratesV1[bitrateIndex] : kBitratesV2[bitrateIndex];
        const uint32_t rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
        const uint32_t padding = (h[2] >> 1) & 1;
        const uint32_t length = (version == 3 ? 144 : 72) * bitrate * 1000 / rate + padding;
        if (walk.bitrates.empty()) {
            walk.sampleRate = rate;
            walk.channels = (h[3] >> 6) == 3 ? 1 : 2;
            walk.firstFrame.assign(h, h + std::min<size_t>(length, bytes.size() - at));
        }
        walk.bitrates.push_back(bitrate);
        at += length;
    }
    return walk;
}

FileTags SampleTags()
{
    FileTags tags;
    tags.title = "Полёт — title";
    tags.comment = "A comment, ü";
    tags.artist = "Исполнитель";
    tags.album = "Album ✓";
    tags.year = 1999;
    tags.trackNumber = 7;
    tags.genre = "Electronic";
    tags.lyrics = "Line one\nСтрока два";
    tags.albumArtist = "Album Artist";
    tags.subtitle = "Subtitle";
    tags.rating = 75;
    return tags;
}

}  // namespace brindle::test

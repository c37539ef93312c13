// Damaged files, made deterministically from the corpus and from files sox writes: cut at many
// offsets, chunk sizes and format fields replaced by hostile values, bytes flipped. Whatever the
// damage, LoadWav returns 0 or 1, a failure leaves the buffer empty, and no temporary file outlives
// the buffer. (A fuzzer harness without the fuzzer: every input is reproducible from its label.)
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include "formats/wav_file.h"
#include "formats/wav_test_util.h"
#include "storage/sound_buffer.h"
#include "storage/unique_fd.h"

namespace brindle {
namespace {

using test::Bytes;

std::vector<std::pair<std::string, Bytes>> Damage(const Bytes& original)
{
    std::vector<std::pair<std::string, Bytes>> variants;
    const size_t size = original.size();
    const auto vary = [&](const std::string& label, size_t at, uint32_t value, int width) {
        Bytes bytes = original;
        for (int k = 0; k < width; ++k)
            bytes[at + size_t(k)] = uint8_t(value >> (8 * k));
        variants.emplace_back(label + " = " + std::to_string(value), std::move(bytes));
    };
    // Cut everywhere in the headers, then at spaced offsets through the rest.
    for (size_t cut = 0; cut < size; cut += cut < 128 ? 1 : std::max<size_t>(1, size / 24))
        variants.emplace_back("cut at " + std::to_string(cut), Bytes(original.begin(), original.begin() + std::ptrdiff_t(cut)));
    // Every chunk size, the RIFF size included.
    std::vector<size_t> headers = test::ChunkOffsets(original);
    if (size >= 12)
        headers.insert(headers.begin(), 0);
    for (size_t header : headers) {
        const uint32_t declared = test::Le32At(original, header + 4);
        for (uint32_t value : {0u, 1u, 3u, declared + 1, declared - 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFEu})
            vary("size at " + std::to_string(header), header + 4, value, 4);
    }
    // Format fields: tag, channels, rate, byte rate, block align, bits.
    for (size_t header : headers) {
        if (header == 0 || header + 24 > size || std::memcmp(original.data() + header, "fmt ", 4) != 0)
            continue;
        const struct {
            size_t offset;
            int width;
            std::vector<uint32_t> values;
        } fields[] = {{0, 2, {0, 1, 2, 3, 0x11, 0xFFFE, 0xFFFF}}, {2, 2, {0, 1, 2, 3, 0xFFFF}}, {4, 4, {0, 1, 0xFFFFFFFF}},
                      {8, 4, {0, 0xFFFFFFFF}}, {12, 2, {0, 1, 3, 0xFFFF}}, {14, 2, {0, 1, 7, 8, 16, 24, 0xFFFF}}};
        for (const auto& field : fields) {
            for (uint32_t value : field.values)
                vary("fmt+" + std::to_string(field.offset), header + 8 + field.offset, value, field.width);
        }
        break;
    }
    // Flipped bytes in the first 256 bytes, from a fixed linear congruential sequence.
    uint32_t state = 0x2545F491u ^ uint32_t(size);
    for (int n = 0; n < 24 && size > 0; ++n) {
        Bytes bytes = original;
        for (int k = 0; k < 3; ++k) {
            state = state * 1664525u + 1013904223u;
            bytes[(state >> 8) % std::min<size_t>(size, 256)] ^= uint8_t(1u << (state >> 29));
        }
        variants.emplace_back("flips #" + std::to_string(n), std::move(bytes));
    }
    return variants;
}

class WavRobustnessTest : public test::TempDirTest {};

TEST_F(WavRobustnessTest, DamagedFilesLoadOrFailCleanly)
{
    std::vector<std::pair<std::string, Bytes>> seeds;
    for (const auto& [name, arguments] : std::initializer_list<std::pair<const char*, const char*>>{
             {"pcm16-stereo.wav", "-r 8000 -c 2 -b 16"}, {"pcm8-mono.wav", "-r 8001 -c 1 -b 8"},  // an odd data size
             {"float.wav", "-r 8000 -c 2 -e floating-point -b 32"}, {"ima.wav", "-r 8000 -c 1 -e ima-adpcm"},
             {"ms.wav", "-r 8000 -c 2 -e ms-adpcm"}, {"gsm.wav", "-r 8000 -c 1 -e gsm-full-rate"},
             {"mulaw.wav", "-r 8000 -c 1 -e mu-law"}}) {
        EXPECT_EQ(test::RunCommand("sox -n " + std::string(arguments) + " " + test::Quoted(PathOf(name)) + " synth 0.05 sine 440 2>/dev/null"), 0);
        seeds.emplace_back(name, test::ReadFileBytes(PathOf(name)));
    }
    const auto corpus = test::CorpusDir() / "wav";
    if (std::filesystem::is_directory(corpus)) {
        for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
            if (entry.path().extension() == ".wav")
                seeds.emplace_back(entry.path().filename().string(), test::ReadFileBytes(entry.path()));
        }
    }
    std::sort(seeds.begin(), seeds.end());
    // Each variant goes to a file in memory, named through a link: rewriting one on disk thousands of
    // times is slow.
    const UniqueFd file(::memfd_create("damaged.wav", MFD_CLOEXEC));
    ASSERT_TRUE(file.IsValid());
    const auto path = PathOf("damaged.wav");
    std::filesystem::create_symlink("/proc/self/fd/" + std::to_string(file.Get()), path);
    size_t tried = 0, loaded = 0;
    for (const auto& [name, original] : seeds) {
        for (const auto& [label, bytes] : Damage(original)) {
            SCOPED_TRACE(name + ", " + label);
            ASSERT_EQ(::ftruncate(file.Get(), 0), 0);
            ASSERT_EQ(::pwrite(file.Get(), bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
            SoundBuffer buffer;
            const int result = LoadWav(buffer, path, nullptr);
            ++tried;
            loaded += result == 1;
            ASSERT_TRUE(result == 0 || result == 1);
            // A failure leaves nothing; a load, either a sound whose stores match its format or no sound at all.
            if (result == 0 || !buffer.HasSound()) {
                ASSERT_TRUE(buffer.channels.IsEmpty());
                ASSERT_TRUE(result == 1 || buffer.IsEmpty());
            } else {
                ASSERT_EQ(buffer.channels.ChannelCount(), buffer.format.channelCount);
                ASSERT_EQ(buffer.channels.FrameCount(), buffer.frameCount);
            }
            buffer.Clear();
            ASSERT_TRUE(TempFiles().empty());
        }
    }
    std::cout << tried << " damaged files, " << loaded << " loaded\n";
    // The made files alone give over a thousand variants; the corpus, where present, several thousand.
    EXPECT_GT(tried, std::filesystem::is_directory(corpus) ? 5000u : 1000u);
}

}  // namespace
}  // namespace brindle

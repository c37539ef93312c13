// Damaged files, made deterministically from the corpus and from files sox writes: cut at many
// offsets, chunk sizes and format fields replaced by hostile values, bytes flipped. Whatever the
// damage, LoadWav returns 0 or 1, a failure leaves the buffer empty, and no temporary file outlives
// the buffer. (A fuzzer harness without the fuzzer: every input is reproducible from its label.)
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "formats/wav_file.h"
#include "formats/wav_test_util.h"
#include "storage/sound_buffer.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::Bytes;
using test::Quoted;

struct Variant {
    std::string label;
    Bytes bytes;
};

// Offsets of the chunk headers of a RIFF file (the RIFF header itself at 0 included), found by a
// plain walk that stops at the first size running past the end.
std::vector<size_t> ChunkHeaderOffsets(const Bytes& file)
{
    std::vector<size_t> offsets;
    if (file.size() < 12)
        return offsets;
    offsets.push_back(0);
    size_t offset = 12;
    while (offset + 8 <= file.size()) {
        offsets.push_back(offset);
        const uint64_t size = test::Le32At(file, offset + 4);
        offset += 8 + size + (size & 1);
    }
    return offsets;
}

size_t FmtOffset(const Bytes& file)
{
    for (size_t offset : ChunkHeaderOffsets(file)) {
        if (offset != 0 && offset + 24 <= file.size() && std::memcmp(file.data() + offset, "fmt ", 4) == 0)
            return offset + 8;
    }
    return 0;
}

std::vector<Variant> Damage(const Bytes& original)
{
    std::vector<Variant> variants;
    const size_t size = original.size();

    // Cut everywhere in the headers, then at spaced offsets through the rest.
    for (size_t cut = 0; cut < size; cut += cut < 128 ? 1 : std::max<size_t>(1, size / 24))
        variants.push_back({"cut at " + std::to_string(cut), Bytes(original.begin(), original.begin() + std::ptrdiff_t(cut))});

    // Every chunk size (and the RIFF size) replaced.
    for (size_t header : ChunkHeaderOffsets(original)) {
        const uint32_t declared = test::Le32At(original, header + 4);
        for (uint32_t value : {0u, 1u, 3u, declared + 1, declared - 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFEu}) {
            Bytes bytes = original;
            test::PutLe32At(bytes, header + 4, value);
            variants.push_back({"size at " + std::to_string(header) + " = " + std::to_string(value), bytes});
        }
    }

    // Format fields: tag, channels, rate, byte rate, block align, bits.
    if (const size_t fmt = FmtOffset(original); fmt != 0) {
        struct Field {
            size_t offset;
            int width;
            std::vector<uint32_t> values;
        };
        const Field fields[] = {
            {0, 2, {0, 1, 2, 3, 0x11, 0xFFFE, 0xFFFF}}, {2, 2, {0, 1, 2, 3, 0xFFFF}},
            {4, 4, {0, 1, 0xFFFFFFFF}},                 {8, 4, {0, 0xFFFFFFFF}},
            {12, 2, {0, 1, 3, 0xFFFF}},                 {14, 2, {0, 1, 7, 8, 16, 24, 0xFFFF}},
        };
        for (const Field& field : fields) {
            for (uint32_t value : field.values) {
                Bytes bytes = original;
                for (int k = 0; k < field.width; ++k)
                    bytes[fmt + field.offset + size_t(k)] = uint8_t(value >> (8 * k));
                variants.push_back({"fmt+" + std::to_string(field.offset) + " = " + std::to_string(value), bytes});
            }
        }
    }

    // Flipped bytes in the first 256 bytes, from a fixed linear congruential sequence.
    uint32_t state = 0x2545F491u ^ uint32_t(size);
    for (int n = 0; n < 24 && size > 0; ++n) {
        Bytes bytes = original;
        for (int k = 0; k < 3; ++k) {
            state = state * 1664525u + 1013904223u;
            const size_t at = (state >> 8) % std::min<size_t>(size, 256);
            bytes[at] ^= uint8_t(1u << (state >> 29));
        }
        variants.push_back({"flips #" + std::to_string(n), bytes});
    }
    return variants;
}

class WavRobustnessTest : public test::TempDirTest {
protected:
    std::vector<std::pair<std::string, Bytes>> Seeds()
    {
        std::vector<std::pair<std::string, Bytes>> seeds;
        const auto made = [&](const std::string& name, const std::string& arguments) {
            const auto path = PathOf(name);
            EXPECT_EQ(test::RunCommand("sox -n " + arguments + " " + Quoted(path) + " synth 0.05 sine 440 2>/dev/null"), 0)
                << name;
            seeds.emplace_back(name, test::ReadFileBytes(path));
            std::filesystem::remove(path);
        };
        made("pcm16-stereo.wav", "-r 8000 -c 2 -b 16");
        made("pcm8-mono.wav", "-r 8001 -c 1 -b 8");  // an odd data size
        made("float.wav", "-r 8000 -c 2 -e floating-point -b 32");
        made("ima.wav", "-r 8000 -c 1 -e ima-adpcm");
        made("ms.wav", "-r 8000 -c 2 -e ms-adpcm");
        made("gsm.wav", "-r 8000 -c 1 -e gsm-full-rate");
        made("mulaw.wav", "-r 8000 -c 1 -e mu-law");

        const auto corpus = test::CorpusDir() / "wav";
        if (std::filesystem::is_directory(corpus)) {
            for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
                if (entry.path().extension() == ".wav")
                    seeds.emplace_back(entry.path().filename().string(), test::ReadFileBytes(entry.path()));
            }
        }
        std::sort(seeds.begin(), seeds.end());
        return seeds;
    }
};

TEST_F(WavRobustnessTest, DamagedFilesLoadOrFailCleanly)
{
    const auto path = PathOf("damaged.wav");
    size_t tried = 0, loaded = 0;
    for (const auto& [name, original] : Seeds()) {
        for (const Variant& variant : Damage(original)) {
            test::WriteFileBytes(path, variant.bytes);
            SoundBuffer buffer;
            const int result = LoadWav(buffer, path, nullptr);
            ++tried;
            ASSERT_TRUE(result == 0 || result == 1) << name << ", " << variant.label;
            if (result == 0) {
                ASSERT_TRUE(buffer.IsEmpty()) << name << ", " << variant.label;
            } else {
                ++loaded;
                // Either a sound whose stores match its format, or no sound at all.
                if (buffer.HasSound()) {
                    ASSERT_EQ(buffer.channels.ChannelCount(), buffer.format.channelCount) << name << ", " << variant.label;
                    ASSERT_EQ(buffer.channels.FrameCount(), buffer.frameCount) << name << ", " << variant.label;
                } else {
                    ASSERT_TRUE(buffer.channels.IsEmpty()) << name << ", " << variant.label;
                }
            }
            buffer.Clear();
            ASSERT_TRUE(TempFiles().empty()) << name << ", " << variant.label;
        }
    }
    std::cout << tried << " damaged files, " << loaded << " loaded\n";
    // The made files alone give over a thousand variants; the corpus, where present, several thousand.
    EXPECT_GT(tried, std::filesystem::is_directory(test::CorpusDir() / "wav") ? 5000u : 1000u);
}

}  // namespace
}  // namespace brindle

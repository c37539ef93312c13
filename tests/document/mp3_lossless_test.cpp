// Saving a cut MP3 without encoding it again, judged with mpg123 against the source's decode and a full
// encode: away from the seams the frames are the source's bytes and the samples its samples, the length
// is exact without a warning, and the seams are no worse than a full encode.
#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "document/document.h"
#include "formats/mp3_encoder.h"
#include "formats/mp3_frames.h"
#include "formats/mp3_lossless.h"
#include "formats/mp3_test_support.h"
#include "storage/unique_fd.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;

// Samples either side of a seam that a re-encoded seam may change.
constexpr int64_t kNear = 6000;

struct Source {
    std::string name;
    std::string make;  // a shell command writing OUT from 44.1 kHz stereo IN, or empty for a corpus file
};

// Every frame layout the copy must keep: CBR with and without the reservoir, VBR, CRCs, MPEG-1, 2 and
// 2.5, mono, joint and plain stereo, two encoders.
const Source kSources[] = {
    {"cbr128_joint_reservoir", "lame --quiet -b 128 IN OUT"},
    {"vbr_stereo_crc", "lame --quiet -V 2 -p -m s IN OUT"},
    {"cbr_mono32k_nores", "sox IN -r 32000 -c 1 T.wav && lame --quiet -b 96 --nores T.wav OUT"},
    {"mpeg2_vbr_crc", "sox IN -r 22050 T.wav && lame --quiet -V 5 -p T.wav OUT"},
    {"mpeg25_mono", "sox IN -r 11025 -c 1 T.wav && lame --quiet -b 24 T.wav OUT"},
    {"ffmpeg_vbr48k", "ffmpeg -v quiet -y -i IN -ar 48000 -c:a libmp3lame -q:a 3 OUT"},
    {"cbr_no_info_frame", "lame --quiet -b 160 -t IN OUT"},
    {"tinytag-vbr44stereo.mp3", ""},
    {"tinytag-vbr22stereo.mp3", ""},
    {"tinytag-vbr11stereo.mp3", ""},
    {"tinytag-vbr16.mp3", ""},
};

std::string Replace(std::string text, const std::string& what, const std::string& with)
{
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

// The audio frames of a file (the info frame left out), each as its bytes.
std::vector<std::string> AudioFrames(const fs::path& mp3)
{
    const Mp3FrameIndex index = IndexOf(mp3);
    EXPECT_TRUE(index.IsSplittable()) << mp3 << ": " << index.notSplittable;
    const std::vector<unsigned char> bytes = ReadFileBytes(mp3);
    std::vector<std::string> frames;
    for (uint32_t i = 0; i < index.FrameCount(); ++i)
        frames.emplace_back(reinterpret_cast<const char*>(&bytes[index.offsets[i]]), index.FrameBytes(i));
    return frames;
}

class Mp3LosslessTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        for (const char* tool : {"mpg123", "lame", "sox", "ffmpeg"}) {
            if (!HasTool(tool))
                GTEST_SKIP() << "needs mpg123, lame, sox and ffmpeg";
        }
    }

    fs::path Make(const Source& source)
    {
        if (source.make.empty())
            return CorpusDir() / "mp3" / source.name;
        const fs::path in = PathOf("signal.wav"), out = PathOf(source.name + ".mp3");
        if (!fs::exists(in))  // a sweep over quiet noise: every band busy, so that the encoders use the reservoir
            SoxSynth(in, 44100, 2, "synth 5 sine 100-20000 pinknoise vol 0.5");
        const std::string command =
            Replace(Replace(Replace(source.make, "IN", Quoted(in)), "OUT", Quoted(out)), "T.wav", Quoted(PathOf("t.wav")));
        EXPECT_EQ(RunCommand(command), 0) << command;
        return out;
    }

    // mpg123's samples, and what it says of the file that sounds like trouble.
    Pcm16 Decode(const fs::path& mp3, std::string* warnings = nullptr)
    {
        const fs::path wav = PathOf("decoded.wav");
        const std::string said = Output("mpg123 -vv -w " + Quoted(wav) + " " + Quoted(mp3) + " 2>&1; echo \"status $?\"");
        EXPECT_TRUE(said.ends_with("status 0\n")) << mp3 << ":\n" << said;
        std::istringstream log(said);
        for (std::string line; warnings && std::getline(log, line);) {
            if (Replace(line, "W", "w").find("warning") != std::string::npos || line.find("rankenstein") != std::string::npos ||
                line.find("rror") != std::string::npos || line.find("big_values") != std::string::npos)
                *warnings += line + "\n";
        }
        Pcm16 pcm = ReadPcm16Wav(wav);
        fs::remove(wav);
        return pcm;
    }

    // The same sound encoded the one way there was before: through a WAV, so nothing can be copied.
    Pcm16 FullEncode(Document& document)
    {
        const fs::path wav = PathOf("full.wav"), mp3 = PathOf("full.mp3");
        EXPECT_EQ(document.Save(wav), 1);
        Document plain;
        EXPECT_EQ(plain.Load(wav), 1);
        EXPECT_EQ(plain.Save(mp3), 1);
        EXPECT_FALSE(plain.SavedWithoutReencoding());
        return Decode(mp3);
    }

    // Cuts [from, to) of the source's samples in order (each in the source's own positions), saves,
    // and checks the result. exact: the kept samples away from seams must be the source's exactly;
    // otherwise within the decoder's rounding (one step). The result's first `encodedHead` samples are
    // expected to be encoded anew (a cut of no whole frames moves what lies on its shorter side).
    void CheckCuts(const fs::path& mp3, const std::vector<std::pair<int64_t, int64_t>>& cuts, bool exact,
                   const std::string& what, int64_t encodedHead = 0)
    {
        SCOPED_TRACE(mp3.filename().string() + ": " + what);
        if (!decoded_.count(mp3))
            decoded_[mp3] = Decode(mp3);
        const Pcm16& source = decoded_[mp3];
        ASSERT_TRUE(source.isValid);
        const int64_t c = source.channels;
        Document document;
        ASSERT_EQ(document.Load(mp3), 1);
        ASSERT_EQ(int64_t(document.ActiveBuffer().frameCount), int64_t(source.Frames()));
        std::vector<int16_t> expected;
        // In the result. Without an info frame the source has no delay the decoder takes off, and the
        // copy needs one: its head is a seam too.
        std::vector<int64_t> seams;
        const Mp3FrameIndex index = IndexOf(mp3);
        if (index.infoFrameBytes == 0)
            seams.push_back(0);
        int64_t kept = 0, removed = 0, from = 0;
        for (auto [start, end] : cuts) {
            expected.insert(expected.end(), source.samples.begin() + from * c, source.samples.begin() + start * c);
            kept += start - from;
            seams.push_back(kept);
            ASSERT_EQ(document.DeleteRange(start - removed, end - removed, true), 1);
            removed += end - start;
            from = end;
        }
        expected.insert(expected.end(), source.samples.begin() + from * c, source.samples.end());

        const fs::path out = PathOf("out.mp3");
        ASSERT_EQ(document.Save(out), 1);
        // Only seams may be new for the save to say it did not re-encode: not the shorter side of a cut
        // off the frames, nor the start of a source whose decode has no delay to move it by.
        const bool seamsOnly = encodedHead == 0 && (index.infoFrameBytes != 0 || cuts.front().first == 0);
        EXPECT_EQ(document.SavedWithoutReencoding(), seamsOnly) << document.ReencodeReason();
        const int64_t length = int64_t(expected.size()) / c;
        if (seamsOnly) {
            EXPECT_EQ(document.ReencodedPercent(), 0u);
        } else if (encodedHead > 0) {
            EXPECT_EQ(document.ReencodedPercent(), uint32_t((encodedHead * 100 + length - 1) / length));
            EXPECT_EQ(document.ReencodeReason(), "a cut off the MP3's frame grid");
        } else {
            // The start, up to the first frame that keeps its place: never a whole turn of the ring.
            EXPECT_GE(document.ReencodedPercent(), 1u);
            EXPECT_LE(document.ReencodedPercent(), uint32_t((4608 * 100 + length - 1) / length));
            EXPECT_EQ(document.ReencodeReason(), "the MP3 does not give its encoder delay, so its start is encoded anew");
        }
        std::string warnings;
        const Pcm16 result = Decode(out, &warnings);
        EXPECT_EQ(warnings, "");
        ASSERT_EQ(result.samples.size(), expected.size()) << "the length is not exact";

        auto isNear = [&](int64_t frame) {
            return frame < encodedHead || std::any_of(seams.begin(), seams.end(), [&](int64_t s) { return std::llabs(frame - s) < kNear; });
        };
        int64_t wrong = 0, worst = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            if (isNear(int64_t(i) / c))
                continue;
            const int64_t difference = std::llabs(int64_t(result.samples[i]) - expected[i]);
            wrong += difference != 0;
            worst = std::max(worst, difference);
        }
        if (exact)
            EXPECT_EQ(wrong, 0) << "samples away from the seams differ from the source's";
        else
            EXPECT_LE(worst, 1) << "samples away from the seams differ by more than rounding";

        const Pcm16 full = FullEncode(document);
        ASSERT_EQ(full.samples.size(), expected.size());
        double ours = 0, theirs = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            if (!isNear(int64_t(i) / c))
                continue;
            ours += std::pow(double(result.samples[i]) - expected[i], 2);
            theirs += std::pow(double(full.samples[i]) - expected[i], 2);
        }
        EXPECT_LE(ours, theirs) << "the seams are worse than a full encode";

        // The frames away from the seams are the source's bytes, in order.
        const std::vector<std::string> before = AudioFrames(mp3);
        const std::vector<std::string> after = AudioFrames(out);
        std::map<std::string, size_t> where;
        for (size_t i = 0; i < before.size(); ++i)
            where.emplace(before[i], i);
        size_t copied = 0, lastAt = 0;
        for (const std::string& frame : after) {
            const auto found = where.find(frame);
            if (found == where.end())
                continue;
            EXPECT_GE(found->second + 1, lastAt + (copied ? 1 : 0)) << "copied frames out of order";
            lastAt = found->second;
            ++copied;
        }
        const size_t perSeam = result.rate >= 32000 ? 8 : 16;
        const int64_t frameLength = result.rate >= 32000 ? 1152 : 576;
        const size_t away = size_t(std::max<int64_t>(0, int64_t(after.size()) - int64_t(perSeam * seams.size()) -
                                                           encodedHead / frameLength));
        EXPECT_GE(copied, away) << "too few frames copied";
    }

    std::map<fs::path, Pcm16> decoded_;  // each source's decode, made once

    // Source positions on the grid the document offers, the nth at or after `at`.
    static int64_t OnGrid(const Document& document, int64_t at)
    {
        const auto grid = document.Mp3FrameGrid();
        EXPECT_TRUE(grid.has_value());
        if (!grid)
            return at;
        const int64_t step = grid->step;
        return at + ((int64_t(grid->phase) - at) % step + step) % step;
    }
};

// An untouched save writes the source's audio frames and info frame byte for byte; head, middle and
// tail cuts, on the snapping grid and off it, keep the rest of them; for every layout.
TEST_F(Mp3LosslessTest, CutsKeepTheSourcesFramesAndDecodeToExactlyTheSound)
{
    for (const Source& source : kSources) {
        const fs::path mp3 = Make(source), out = PathOf("untouched.mp3");
        Document document;
        ASSERT_EQ(document.Load(mp3), 1) << mp3;
        ASSERT_EQ(document.Save(out), 1);
        EXPECT_TRUE(document.SavedWithoutReencoding()) << document.ReencodeReason();
        EXPECT_TRUE(AudioFrames(out) == AudioFrames(mp3)) << mp3;
        const Mp3FrameIndex index = IndexOf(mp3), copy = IndexOf(out);
        const auto a = ReadFileBytes(mp3), b = ReadFileBytes(out);
        EXPECT_TRUE(std::equal(a.begin() + index.infoFrameOffset, a.begin() + index.offsets[0],
                               b.begin() + copy.infoFrameOffset, b.begin() + copy.offsets[0]))
            << "the info frame changed";

        const int64_t n = document.ActiveBuffer().frameCount;
        const int64_t from = OnGrid(document, n / 5), to = OnGrid(document, from + 3 * 4608 - 1);
        const int64_t d = OnGrid(document, n / 2), e = OnGrid(document, d + 4608);
        CheckCuts(mp3, {{0, from}}, true, "head on the grid");
        CheckCuts(mp3, {{from, to}, {d, e}, {n * 4 / 5 + 7, n}}, true, "two middle cuts on the grid and the tail");
        CheckCuts(mp3, {{n / 7 + 13, n / 7 + 1013}}, false, "a middle cut of no whole frames", n / 7 + 13);
        CheckCuts(mp3, {{0, 4321}, {n - 999, n}}, false, "head and tail anywhere");
    }
}

// Only the history as it stands counts; any other edit, or a source changed on disk, encodes the whole
// sound, and so does a cut whose copy cannot be made; every such save is still exact in length. A
// cancelled copy leaves the target as it was.
TEST_F(Mp3LosslessTest, AnythingButCutsOfTheUnchangedSourceEncodesAnew)
{
    const fs::path mp3 = Make(kSources[0]);
    const fs::path out = PathOf("out.mp3");
    Document document;
    ASSERT_EQ(document.Load(mp3), 1);
    const uint32_t n = document.ActiveBuffer().frameCount;
    WriteFileBytes(out, {'o', 'l', 'd'});
    Document vbr;  // the copy cancelled is of VBR stereo with CRCs
    ASSERT_EQ(vbr.Load(Make(kSources[1])), 1);
    ASSERT_EQ(vbr.DeleteRange(0, 4608, true), 1);
    Progress cancelled(1000);
    cancelled.Cancel();
    EXPECT_EQ(vbr.Save(out, &cancelled), 0);
    EXPECT_EQ(vbr.LastFailure().kind, FailureKind::Cancelled);
    EXPECT_EQ(ReadFileBytes(out), (std::vector<unsigned char>{'o', 'l', 'd'}));
    EditMarks marks;

    ASSERT_EQ(document.DeleteRange(1000, 50000, true), 1);
    ASSERT_EQ(document.ChangeVolume(0, 1000, 80), 1);
    ASSERT_EQ(document.Save(out), 1);
    EXPECT_FALSE(document.SavedWithoutReencoding());
    EXPECT_EQ(document.ReencodedPercent(), 100u);
    EXPECT_EQ(Decode(out).Frames(), n - 49000u);

    // The 1000 samples before the cut move by part of a frame and are encoded anew: 1 %, rounded up.
    ASSERT_EQ(document.Undo(marks), 1);
    ASSERT_EQ(document.Save(out), 1);
    EXPECT_FALSE(document.SavedWithoutReencoding());
    EXPECT_EQ(document.ReencodedPercent(), 1u) << document.ReencodeReason();
    EXPECT_EQ(document.ReencodeReason(), "a cut off the MP3's frame grid");
    ASSERT_EQ(document.ToMono(), 1);
    ASSERT_EQ(document.Undo(marks), 1);
    ASSERT_EQ(document.Save(out), 1);
    EXPECT_EQ(document.ReencodedPercent(), 1u) << document.ReencodeReason();

    // Saved over its own source, then cut again: the old file is still what the copy reads.
    ASSERT_EQ(document.Save(mp3), 1);
    EXPECT_EQ(document.ReencodedPercent(), 1u) << document.ReencodeReason();
    ASSERT_EQ(document.DeleteRange(0, 4608, true), 1);
    ASSERT_EQ(document.Save(out), 1);
    EXPECT_TRUE(document.SavedWithoutReencoding()) << document.ReencodeReason();
    EXPECT_EQ(document.ReencodedPercent(), 0u);
    EXPECT_EQ(Decode(out).Frames(), n - 49000u - 4608u);

    // A WAV never is.
    ASSERT_EQ(document.Save(PathOf("out.wav")), 1);
    EXPECT_FALSE(document.SavedWithoutReencoding());

    // Every save that encodes says why, a source whose frames cannot be copied included.
    const fs::path junky = PathOf("junk-between-frames.mp3"), fresh = Make(kSources[2]);
    std::vector<unsigned char> bytes = ReadFileBytes(fresh);
    bytes.insert(bytes.begin() + IndexOf(fresh).offsets[IndexOf(fresh).FrameCount() / 2], 100, 0x55);
    WriteFileBytes(junky, bytes);
    for (const fs::path& source : {junky, PathOf("out.wav")}) {
        SCOPED_TRACE(source.filename().string());
        Document reencoded;
        ASSERT_EQ(reencoded.Load(source), 1);
        ASSERT_EQ(reencoded.DeleteRange(0, 4608, true), 1);
        ASSERT_EQ(reencoded.Save(out), 1);
        EXPECT_FALSE(reencoded.SavedWithoutReencoding());
        EXPECT_NE(reencoded.ReencodeReason(), "");
    }
}

// The copy reads only the bytes the sound was opened from, and writes only what decodes as the sound at
// its seams: a source rewritten in place by another sound of the same size and times is never copied,
// and a copy damaged at a seam is caught.
TEST_F(Mp3LosslessTest, TheCopyChecksWhatItReadsAndWhatItWrote)
{
    const fs::path a = Make({"a", "lame --quiet -b 128 IN OUT"});
    const fs::path b = Make({"b", "sox -n -r 44100 -c 2 -b 16 T.wav synth 5 sine 1000 && lame --quiet -b 128 T.wav OUT"});
    ASSERT_EQ(fs::file_size(a), fs::file_size(b));
    const fs::path out = PathOf("out.mp3");
    Document document;
    ASSERT_EQ(document.Load(a), 1);
    const int64_t n = document.ActiveBuffer().frameCount;
    const int64_t from = OnGrid(document, n / 3), to = OnGrid(document, from + 4608);
    ASSERT_EQ(document.DeleteRange(from, to, true), 1);
    const SoundBuffer& sound = document.ActiveBuffer();
    const std::vector<KeptRange> kept{{0, uint32_t(from)}, {uint32_t(to), uint32_t(n)}};
    LameAdapter* adapter = Mp3Encoder::Instance().Adapter();
    ASSERT_NE(adapter, nullptr);
    const Mp3FrameIndex index = IndexOf(a);
    UniqueFd source(::open(a.c_str(), O_RDONLY | O_CLOEXEC));
    auto reopen = [&] { return UniqueFd(::open(out.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)); };
    std::string whyNot;
    {
        UniqueFd other(::open(b.c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_EQ(WriteLosslessMp3(other.Get(), index, kept, sound, *adapter, reopen().Get(), nullptr, &whyNot),
                  LosslessWrite::NotPossible)
            << "the frames of a file other than the one indexed were copied";
        EXPECT_EQ(whyNot, "the MP3 file changed since it was opened");
    }

    std::vector<CopiedRun> runs;
    ASSERT_EQ(WriteLosslessMp3(source.Get(), index, kept, sound, *adapter, reopen().Get(), nullptr, &whyNot, nullptr, &runs),
              LosslessWrite::Written)
        << whyNot;
    const auto seam = std::find_if(runs.begin(), runs.end(), [](const CopiedRun& r) { return r.kind == CopiedRun::Kind::Encoded; });
    ASSERT_NE(seam, runs.end());
    const Mp3FrameIndex copy = IndexOf(out);
    const uint32_t after = seam->end;  // the first copied frame after the seam
    const uint32_t reach = copy.mainDataBegin[after];
    ASSERT_GT(reach, 0u) << "no reservoir carried across the seam to damage";
    const uint32_t side = copy.format.SideInfoOffset();
    struct Damage {
        const char* what;
        std::function<void(std::vector<unsigned char>&)> apply;
    };
    const Damage damages[] = {
        {"none", [](auto&) {}},
        {"the reservoir the last new frame carries",
         [&](auto& bytes) { bytes[copy.offsets[after] - reach] ^= 0xFF; }},
        {"the main data of a new frame",
         [&](auto& bytes) {
             const uint32_t f = (seam->begin + seam->end) / 2;
             for (uint32_t i = copy.offsets[f] + side + copy.format.sideInfoBytes; i < copy.offsets[f + 1]; ++i)
                 bytes[i] ^= 0x5A;
         }},
        {"the side information of a copied frame after the seam",
         [&](auto& bytes) { bytes[copy.offsets[after + 1] + side + 4] ^= 0x10; }},
        {"a new frame left out",
         [&](auto& bytes) { bytes.erase(bytes.begin() + copy.offsets[seam->begin], bytes.begin() + copy.offsets[seam->begin + 1]); }},
    };
    const std::vector<unsigned char> intact = ReadFileBytes(out);
    for (const Damage& damage : damages) {
        std::vector<unsigned char> bytes = intact;
        damage.apply(bytes);
        const fs::path damaged = PathOf("damaged.mp3");
        WriteFileBytes(damaged, bytes);
        UniqueFd fd(::open(damaged.c_str(), O_RDONLY | O_CLOEXEC));
        const std::string found = CheckLosslessCopy(fd.Get(), sound, runs, nullptr);
        if (damage.what == std::string("none"))
            EXPECT_EQ(found, "");
        else
            EXPECT_NE(found, "") << damage.what << " went unnoticed";
    }

    // Rewritten in place under the open sound, with the times put back: the sound opened is saved.
    const Pcm16 decodedA = Decode(a), decodedB = Decode(b);
    const fs::path stamp = PathOf("stamp");
    ASSERT_EQ(RunCommand("touch -r " + Quoted(a) + " " + Quoted(stamp)), 0);
    {
        const std::vector<unsigned char> bytes = ReadFileBytes(b);
        std::fstream file(a, std::ios::in | std::ios::out | std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    ASSERT_EQ(RunCommand("touch -r " + Quoted(stamp) + " " + Quoted(a)), 0);
    ASSERT_EQ(document.Save(out), 1);
    EXPECT_FALSE(document.SavedWithoutReencoding());
    EXPECT_EQ(document.ReencodeReason(), "the MP3 file changed since it was opened");
    const Pcm16 saved = Decode(out);
    const size_t c = saved.channels, cut = size_t(to - from) * c;
    ASSERT_EQ(saved.samples.size() + cut, decodedA.samples.size());
    double nearA = 0, nearB = 0;
    for (size_t i = 0; i < saved.samples.size(); ++i) {
        const size_t at = i < size_t(from) * c ? i : i + cut;
        nearA += std::pow(double(saved.samples[i]) - decodedA.samples[at], 2);
        nearB += std::pow(double(saved.samples[i]) - decodedB.samples[at], 2);
    }
    EXPECT_LT(nearA * 4, nearB) << "the save holds the other file's sound";
}

}  // namespace
}  // namespace brindle::test

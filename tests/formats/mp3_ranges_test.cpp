// Decoding and encoding an MP3 in ranges, one decoder or encoder per range on threads of their own:
// the sound must equal one decoder's bit for bit and the file one encoder's byte for byte, however it
// is split, and a file the ranges cannot vouch for must get exactly the decision one decoder gives it.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>

#include "formats/mp3_decoder.h"
#include "formats/mp3_document.h"
#include "formats/mp3_encoder.h"
#include "formats/mp3_test_support.h"
#include "formats/wav_file.h"
#include "storage/sound_buffer.h"
#include "tasks/failure.h"

namespace brindle::test {
namespace {

namespace fs = std::filesystem;

// What one decode gave: its result, its reason when it failed, and its samples.
struct Decoded {
    int result = 0;
    std::string reason;
    Pcm16 pcm;
    unsigned ranges = 0;
};

Decoded Decode(const fs::path& mp3, unsigned rangeCount, const std::vector<uint32_t>& starts = {},
               const std::string& synthesis = {}, Progress* progress = nullptr)
{
    Mp3Decoder decoder;
    decoder.SetRangeCount(rangeCount);
    decoder.SetRangeStarts(starts);
    decoder.SetSynthesis(synthesis);
    SoundBuffer buffer;
    ClearLastFailure();
    Decoded decoded;
    decoded.result = decoder.DecodeInto(buffer, mp3, progress);
    decoded.reason = LastFailure().text;
    decoded.ranges = decoder.RangesUsed();
    if (decoded.result)
        decoded.pcm = BufferPcm16(buffer);
    return decoded;
}

// Split points: `count` - 1 distinct random frames after 0, plus those given.
std::vector<uint32_t> Starts(std::mt19937& random, uint32_t frames, unsigned count, std::vector<uint32_t> starts)
{
    starts.push_back(0);
    while (starts.size() < count) {
        const uint32_t point = 1 + random() % (frames - 1);
        if (std::find(starts.begin(), starts.end(), point) == starts.end())
            starts.push_back(point);
    }
    std::sort(starts.begin(), starts.end());
    return starts;
}

class Mp3RangesTest : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        if (!HasTool("lame") || !HasTool("sox") || !HasTool("mpg123"))
            GTEST_SKIP() << "needs lame, sox and mpg123";
    }

    // `signal` is the sox synth effect chain; lame keeps the rate and the channel count.
    fs::path Encode(const std::string& name, int channels, int rate, const std::string& signal,
                    const std::string& lameOptions)
    {
        const fs::path wav = PathOf(name + ".wav"), mp3 = PathOf(name + ".mp3");
        SoxSynth(wav, rate, channels, signal);
        const std::string lame = "lame --quiet " + lameOptions + (channels == 1 ? " -m m" : "") + " --resample " +
                                 std::to_string(rate / 1000.0) + " " + Quoted(wav) + " " + Quoted(mp3);
        EXPECT_EQ(RunCommand(lame), 0) << lame;
        fs::remove(wav);
        return mp3;
    }

    // A sound made by sox, loaded as the editor holds it.
    void MakeSound(SoundBuffer& buffer, int channels, int rate, const std::string& signal)
    {
        SoxSynth(PathOf("sound.wav"), rate, channels, signal);
        ASSERT_EQ(LoadWav(buffer, PathOf("sound.wav"), nullptr), 1);
        fs::remove(PathOf("sound.wav"));
    }

    std::vector<unsigned char> Export(SoundBuffer& buffer, unsigned rangeCount, unsigned* used = nullptr)
    {
        Mp3Encoder encoder({kLameLibraryName});
        encoder.SetRangeCount(rangeCount);
        EXPECT_EQ(encoder.EncodeToMp3(PathOf("export.mp3"), buffer, nullptr), 1) << LastFailure().text;
        if (used)
            *used = encoder.RangesUsed();
        return ReadFileBytes(PathOf("export.mp3"));
    }
};

// Something like music: a sweep over every band under noise.
const std::string kMusic = "synth 4 sine 100-7000 pinknoise vol 0.5";
const std::string kShortMusic = "synth 2 sine 100-7000 pinknoise vol 0.5";
// Short plucks between long stretches of digital silence: at a low rate the reservoir then carries
// main data back over many tiny silent frames.
const std::string kSilences = "synth 0.3 pluck A3 vol 0.6 pad 0 1.7 repeat 3";

TEST_F(Mp3RangesTest, RangesDecodeEveryKindOfFileBitForBitAsOneDecoder)
{
    struct Kind {
        const char* name;
        int channels;
        int rate;
        const std::string& signal;
        const char* options;
        // Also split in two at every frame in turn: every lead-in the file can have is met.
        bool isSplitEverywhere = false;
    };
    const Kind kinds[] = {
        {"vbr-reservoir", 2, 44100, kMusic, "-V 4"},
        {"as-saved", 2, 44100, kMusic, "-V 4 -b 128 -B 192 --nores -m j"},
        {"cbr-crc", 2, 44100, kMusic, "--cbr -b 128 -p"},
        {"mono-48k", 1, 48000, kMusic, "-V 2"},
        {"stereo-32k", 2, 32000, kMusic, "-V 6 -m s"},
        {"mpeg2-22k", 2, 22050, kMusic, "-V 4"},
        {"mpeg2-16k-mono-crc", 1, 16000, kMusic, "-V 5 -p", true},
        {"mpeg25-8k-mono", 1, 8000, kMusic, "-V 6"},
        {"mpeg25-11k", 2, 11025, kMusic, "-V 7"},
        {"silences-22k", 2, 22050, kSilences, "-V 9"},
        {"silences-44k-low", 2, 44100, kSilences, "--abr 40"},
        {"no-info-frame", 2, 44100, kMusic, "-V 4 -t"},
        {"id3-tags", 2, 44100, kMusic, "-V 3 --add-id3v2 --pad-id3v2 --tt Title --ta Artist"},
        // Last, so that the rows above keep their random splits. A decoder silences the first frames
        // of a lead-in and, with a CRC, clears two bytes of main data with each; a later lead-in frame
        // that read them was dropped unsynthesised, which moved the generic synthesis's rounding for
        // the rest of the range.
        {"cbr-crc-short", 2, 44100, kShortMusic, "--cbr -b 128 -p", true},
    };
    std::mt19937 random(2024);
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const fs::path mp3 = Encode(kind.name, kind.channels, kind.rate, kind.signal, kind.options);
        const Mp3FrameIndex index = IndexOf(mp3);
        ASSERT_TRUE(index.IsSplittable()) << index.notSplittable;
        const uint32_t frames = index.FrameCount();
        ASSERT_GT(frames, 16u);
        for (const std::string synthesis : {"", "generic"}) {
            SCOPED_TRACE("synthesis " + synthesis);
            const Decoded whole = Decode(mp3, 1, {}, synthesis);
            ASSERT_EQ(whole.result, 1) << whole.reason;
            ASSERT_EQ(whole.ranges, 1u);
            for (uint32_t point = 1; kind.isSplitEverywhere && point < frames; ++point) {
                const Decoded ranges = Decode(mp3, 0, {0, point}, synthesis);
                ASSERT_EQ(ranges.result, 1) << "split at " << point << ": " << ranges.reason;
                EXPECT_EQ(ranges.ranges, 2u) << "split at " << point;
                const std::string difference = FirstDifference(whole.pcm, ranges.pcm);
                ASSERT_TRUE(difference.empty()) << "split at " << point << " of " << frames << ": " << difference;
            }
            for (unsigned count = 2; count <= 8; ++count) {
                // Random split points, and for the default synthesis a run of neighbours at a random
                // place and the very last frame: every phase of the synthesis window and the
                // reservoir, the silences included, is met somewhere.
                for (int draw = 0; draw < (synthesis.empty() ? 3 : 1); ++draw) {
                    std::vector<uint32_t> given;
                    if (draw == 2) {
                        const uint32_t at = 1 + random() % (frames - count - 1);
                        for (uint32_t k = 0; k + 2 < count; ++k)
                            given.push_back(at + k);
                        given.push_back(frames - 1);
                    }
                    const std::vector<uint32_t> points = Starts(random, frames, count, given);
                    const std::string where = ::testing::PrintToString(points);
                    const Decoded ranges = Decode(mp3, 0, points, synthesis);
                    ASSERT_EQ(ranges.result, 1) << "split at" << where << ": " << ranges.reason;
                    EXPECT_EQ(ranges.ranges, count) << "split at" << where;
                    ASSERT_EQ(FirstDifference(whole.pcm, ranges.pcm), "") << "split at" << where << " of " << frames;
                }
            }
        }
    }
    EXPECT_TRUE(TempFiles().empty());
}

// Every corpus MP3 loads to exactly mpg123's samples, in one piece and in ranges, but for those whose
// decoded length differs from the full scan: those are refused on purpose, in ranges for the same reason.
TEST_F(Mp3RangesTest, CorpusFilesLoadAsMpg123DecodesThemOrAreRefusedInAnyRanges)
{
    // With mpg123 1.31: a scan of 86400 frames decodes to 85295 (a frame fails dequantization), 21120
    // to 21167 (false syncs in the junk), and a truncated file's 8064 to 6959.
    const std::set<fs::path> refused = {"mutagen-apev2-lyricsv2.mp3", "taglib-garbage.mp3", "taglib-lame_vbr.mp3"};
    const std::vector<std::string> corpus = CorpusMp3s();
    if (corpus.empty())
        GTEST_SKIP() << "no corpus at " << CorpusDir();
    EXPECT_GT(corpus.size(), 20u);
    int split = 0;
    for (const fs::path mp3 : corpus) {
        SCOPED_TRACE(mp3.filename());
        const Pcm16 expected = Mpg123Pcm(mp3);
        Mp3Document document;
        const int loaded = document.LoadMp3(mp3, nullptr);
        EXPECT_EQ(TempFiles().size(), loaded ? document.buffer.channels.ChannelCount() : 0u);
        const Decoded whole = Decode(mp3, 1);
        EXPECT_EQ(whole.result, loaded);
        if (loaded) {
            EXPECT_EQ(refused.count(mp3.filename()), 0u) << "expected a refusal";
            EXPECT_EQ(FirstDifference(BufferPcm16(document.buffer), expected), "");
            EXPECT_EQ(FirstDifference(whole.pcm, expected), "");
        } else {
            EXPECT_TRUE(document.buffer.IsEmpty());
            EXPECT_TRUE(refused.count(mp3.filename()) || expected.samples.empty())
                << "refused although mpg123 decodes " << expected.Frames() << " frames";
        }
        bool wasSplit = false;
        for (unsigned count = 2; count <= 8; ++count) {
            const Decoded ranges = Decode(mp3, count);
            ASSERT_EQ(ranges.result, whole.result) << count << " ranges: " << ranges.reason;
            EXPECT_EQ(ranges.reason, whole.reason) << count << " ranges";
            EXPECT_EQ(FirstDifference(whole.pcm, ranges.pcm), "") << count << " ranges";
            wasSplit |= ranges.ranges > 1;
        }
        split += wasSplit;
    }
    EXPECT_GE(split, 12) << "most of the corpus should decode in ranges";
    EXPECT_TRUE(TempFiles().empty());
}

// A file damaged in ways a decoder meets: whatever one decoder makes of it (a sound, a refusal, a
// reason), ranges make the same; what the ranges cannot vouch for goes to one decoder.
TEST_F(Mp3RangesTest, DamagedFilesGetTheSameDecisionAsWithOneDecoder)
{
    const fs::path original = Encode("original", 2, 44100, kShortMusic, "-V 4");
    const std::vector<unsigned char> bytes = ReadFileBytes(original);
    const Mp3FrameIndex index = IndexOf(original);
    ASSERT_TRUE(index.IsSplittable());
    const uint32_t frames = index.FrameCount();
    const uint32_t middle = index.offsets[frames / 2];
    const uint32_t sideInfo = index.format.SideInfoOffset();
    std::mt19937 random(7);
    auto scramble = [&](std::vector<unsigned char>& file, size_t at, size_t count) {
        for (size_t i = 0; i < count; ++i)
            file[at + i] = static_cast<unsigned char>(random());
    };
    const struct {
        const char* name;
        bool isSplittable;  // the ranges still decode it
        std::function<void(std::vector<unsigned char>&)> apply;
    } damages[] = {
        {"main data scrambled", true, [&](auto& f) { scramble(f, middle + sideInfo + 32 + 20, 40); }},
        {"side information scrambled", false, [&](auto& f) { scramble(f, index.offsets[frames / 3] + sideInfo, 14); }},
        {"a sync word destroyed", false, [&](auto& f) { f[middle] = 0x00; }},
        {"junk between frames", false, [&](auto& f) { f.insert(f.begin() + middle, 100, 0x55); }},
        {"last frame cut short", false, [&](auto& f) { f.resize(f.size() - 50); }},
        {"a frame count other than the info frame's", false, [&](auto& f) { ++f[sideInfo + 32 + 8 + 3]; }},
        {"a sample rate change", false, [&](auto& f) { f[middle + 2] ^= 0x04; }},
        {"junk after the last frame", false, [&](auto& f) { f.insert(f.end(), 300, 0xAA); }},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.name);
        std::vector<unsigned char> file = bytes;
        damage.apply(file);
        const fs::path mp3 = PathOf("damaged.mp3");
        WriteFileBytes(mp3, file);
        const Decoded whole = Decode(mp3, 1);
        for (unsigned count = 2; count <= 8; ++count) {
            // One split point on the damaged frame's neighbourhood, the others anywhere.
            const Decoded ranges = Decode(mp3, 0, Starts(random, frames, count, {frames / 2 + count % 3}));
            ASSERT_EQ(ranges.result, whole.result) << count << " ranges: " << ranges.reason;
            EXPECT_EQ(ranges.reason, whole.reason);
            EXPECT_EQ(FirstDifference(whole.pcm, ranges.pcm), "") << count << " ranges";
            if (damage.isSplittable) {
                EXPECT_EQ(ranges.ranges, count);
            } else if (ranges.result) {
                EXPECT_EQ(ranges.ranges, 1u) << "decoded in ranges although the file cannot be vouched for";
            }
        }
    }
}

TEST_F(Mp3RangesTest, ACancelAtAnyPointLeavesNothing)
{
    const fs::path mp3 = Encode("long", 2, 44100, "synth 10 sine 100-7000 pinknoise vol 0.5", "-V 4");
    // While the frames are read (the first 2 %), as the ranges start, while they run, and with the
    // last frames.
    for (uint32_t at : {1u, 10u, 20u, 21u, 50u, 300u, 700u, 990u}) {
        SCOPED_TRACE(at);
        CancelAt progress(1000, at);
        const Decoded ranges = Decode(mp3, 4, {}, {}, &progress);
        EXPECT_EQ(ranges.result, 0);
        EXPECT_TRUE(progress.IsCancelled());
        EXPECT_TRUE(progress.IsFailed());
        EXPECT_EQ(ranges.reason, "cancelled");
        EXPECT_TRUE(TempFiles().empty());
    }
    Progress progress(1000);
    const Decoded ranges = Decode(mp3, 4, {}, {}, &progress);
    EXPECT_EQ(ranges.result, 1);
    EXPECT_EQ(ranges.ranges, 4u);
    EXPECT_EQ(progress.Position(), 1000u);
}

// --- Export ---------------------------------------------------------------------------------------

TEST_F(Mp3RangesTest, RangesWriteByteForByteTheFileOneEncoderWrites)
{
    // Loud noise, a long near-silence and plucks: the encoder's adjustment to loudness, its longest
    // memory, is met at every seam somewhere.
    const std::string mixed = "synth 3 pinknoise vol 0.9 : synth 6 sine 440 vol 0.001 : synth 0.5 pluck A3 pad 0 3";
    const struct {
        int channels;
        int rate;
        std::string signal;
    } sounds[] = {
        {2, 44100, kShortMusic + " repeat 1"}, {1, 44100, mixed}, {2, 48000, mixed},
        {1, 48000, kShortMusic + " repeat 1"}, {2, 22050, kShortMusic + " repeat 1"},  // 576-sample frames
    };
    for (const auto& sound : sounds) {
        SCOPED_TRACE(std::to_string(sound.channels) + " channels, " + std::to_string(sound.rate) + " Hz");
        SoundBuffer buffer;
        MakeSound(buffer, sound.channels, sound.rate, sound.signal);
        unsigned used = 0;
        const std::vector<unsigned char> whole = Export(buffer, 1, &used);
        ASSERT_EQ(used, 1u);
        ASSERT_GT(whole.size(), 20000u);
        for (unsigned count = 2; count <= 8; ++count) {
            const std::vector<unsigned char> ranges = Export(buffer, count, &used);
            EXPECT_EQ(used, count);
            ASSERT_EQ(ranges.size(), whole.size()) << count << " ranges";
            const auto differ = std::mismatch(ranges.begin(), ranges.end(), whole.begin());
            EXPECT_TRUE(differ.first == ranges.end())
                << count << " ranges: byte " << (differ.first - ranges.begin()) << " differs";
        }
        // The last file is the ranges' own: it decodes to exactly the sound.
        EXPECT_EQ(Mpg123Pcm(PathOf("export.mp3")).Frames(), buffer.frameCount);
    }
    EXPECT_EQ(TempFiles().size(), 0u);

    // 96 kHz is encoded at 48 kHz: the resampler changes the encoder's delay, so one encoder does it.
    SoundBuffer high;
    MakeSound(high, 2, 96000, "synth 4 sine 100-7000 pinknoise vol 0.5");
    unsigned used = 0;
    const std::vector<unsigned char> resampled = Export(high, 4, &used);
    EXPECT_EQ(used, 1u);
    EXPECT_TRUE(resampled == Export(high, 1));
}

// A save with nothing to save, cancelled at any point, or onto a full disk fails and leaves only the
// sound; a cancelled save leaves its partial file for the document layer to remove.
TEST_F(Mp3RangesTest, ASaveThatCannotFinishLeavesOnlyTheSound)
{
    Mp3Document document;
    EXPECT_EQ(document.SaveMp3(PathOf("empty.mp3"), nullptr), 0);
    EXPECT_FALSE(fs::exists(PathOf("empty.mp3")));
    MakeSound(document.buffer, 2, 44100, "synth 10 sine 100-7000 pinknoise vol 0.5");
    EXPECT_EQ(document.SaveMp3(fs::path(), nullptr), 0);
    const auto sound = TempFiles();

    CancelAt cancel(1000, 300);
    EXPECT_EQ(document.SaveMp3(PathOf("partial.mp3"), &cancel), 0);
    EXPECT_TRUE(cancel.IsFailed());
    EXPECT_LT(cancel.positions.back(), 1000u);
    EXPECT_GT(fs::file_size(PathOf("partial.mp3")), 0u) << "the partial file is left";
    EXPECT_TRUE(TempFiles() == sound);
    EXPECT_EQ(document.buffer.frameCount, 10u * 44100u);
    Progress cancelled(10);
    cancelled.Cancel();
    EXPECT_EQ(EncodeToMp3(PathOf("never.mp3"), document.buffer, &cancelled), 0);
    EXPECT_FALSE(fs::exists(PathOf("never.mp3")));

    Mp3Encoder encoder({kLameLibraryName});
    encoder.SetRangeCount(4);
    for (uint32_t at : {1u, 100u, 500u, 900u, 990u}) {
        SCOPED_TRACE(at);
        CancelAt progress(1000, at);
        ClearLastFailure();
        EXPECT_EQ(encoder.EncodeToMp3(PathOf("cancelled.mp3"), document.buffer, &progress), 0);
        EXPECT_EQ(LastFailure().text, "cancelled");
        EXPECT_TRUE(progress.IsFailed());
        EXPECT_TRUE(TempFiles() == sound) << "the ranges' files are gone";
    }
    {
        FileSizeLimit full(100000);
        ClearLastFailure();
        EXPECT_EQ(encoder.EncodeToMp3(PathOf("full.mp3"), document.buffer, nullptr), 0);
    }
    EXPECT_EQ(LastFailure().text, "File too large");
    EXPECT_TRUE(TempFiles() == sound);
    EXPECT_EQ(encoder.EncodeToMp3(PathOf("done.mp3"), document.buffer, nullptr), 1);
    EXPECT_EQ(encoder.RangesUsed(), 4u);
}

}  // namespace
}  // namespace brindle::test

// Gains carried by pieces against gains written into stores: the same edits, one document each way,
// must read, draw, play and save the same, bit for bit, on sounds sox and lame make.
#include <gtest/gtest.h>

#include <cstring>
#include <string_view>

#include "document/document.h"
#include "edit/edit_kernels.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::Quoted;

// Edits by letter, in EditKind's order: C cut, K keep only, V volume (percent), F full scale, I fade
// in, O fade out, M to mono, S to stereo; and U undo, R redo.
struct Step {
    char op;
    int64_t start = -1, end = -1;
    int32_t percent = 100;
};

const std::pair<const char*, std::vector<Step>> kCases[] = {
    {"EachKindAcrossBlocks", {{'V', 1000, 120000, -70}, {'F', 90000, 200000}, {'I', 5, 150001}, {'O', 70000, 132299}}},
    {"AWholeSound", {{'I'}, {'O'}, {'V', -1, -1, 400}, {'F'}}},
    // As many stages as a piece carries on one range, then one more that is written.
    {"AChainPastItsLimit", {{'I', 2000, 100000}, {'O', 1000, 90000}, {'V', 0, 95000, 150}, {'F', 3000, 80000},
                            {'V', 500, 99000, 50}, {'I', 0, 4000}, {'V', 0, 99000, -90}, {'O', 40000, 99000},
                            {'F', 0, 99000}, {'I', 10, 50000}}},
    {"CutsThroughGains", {{'I', 1000, 120000}, {'C', 40000, 60000}, {'O', 30000, 80000}, {'K', 500, 100000},
                          {'F', 10, 5000}, {'C', 0, 300}}},
    {"UndoAndRedo", {{'V', 0, 70000, 250}, {'I', 100, 60000}, {'U'}, {'U'}, {'R'}, {'O', 20000, 90000}, {'U'}, {'R'}}},
    {"Channels", {{'I', 0, 50000}, {'M'}, {'F'}, {'S'}, {'O', 1000, 77777}}},
};

void Apply(Document& document, const Step& step)
{
    EditMarks marks;
    if (step.op == 'U' || step.op == 'R') {
        ASSERT_EQ(step.op == 'U' ? document.Undo(marks) : document.Redo(marks), 1);
    } else {
        ASSERT_EQ(document.Edit({EditKind(std::string_view("CKVFIOMS").find(step.op)), step.start, step.end, step.percent}), 1);
    }
    if (document.NeedsPeaks()) {
        ASSERT_EQ(document.BuildPeaks(), 1);
    }
}

// Every way the sound is read: the samples, the player's interleaved frames, the summary's columns
// (whole and zoomed) and peaks, against the written twin read directly.
void ExpectSameReads(const Document& carried, const Document& written)
{
    const ChannelSet &a = carried.ActiveBuffer().channels, &b = written.ActiveBuffer().channels;
    const int64_t n = a.FrameCount();
    ASSERT_EQ(a.ChannelCount(), b.ChannelCount());
    ASSERT_EQ(n, b.FrameCount());
    for (int c = 0; c < a.ChannelCount(); ++c) {
        const std::vector<float> x = test::ReadStore(a.Channel(c)), y = test::ReadStore(b.Channel(c));
        ASSERT_EQ(std::memcmp(x.data(), y.data(), x.size() * sizeof(float)), 0) << "channel " << c;
        for (const auto& [start, end] : {std::pair<int64_t, int64_t>{-1, -1}, {n / 3 + 7, n / 2 + 1001}})
            EXPECT_EQ(carried.Peaks().PeakInRange(a, c, start, end), PeakInRange(b.Channel(c), start, end)) << c;
    }
    std::vector<int16_t> played(size_t(n) * a.ChannelCount()), twin(played.size());
    ASSERT_EQ(a.ReadInterleaved16(played.data(), n, 0), b.ReadInterleaved16(twin.data(), n, 0));
    EXPECT_EQ(played, twin);
    test::ExpectSummaryColumns(carried.Peaks(), a, b, 333);
    test::ExpectSummaryColumns(carried.Peaks(), a, b, 333, 0, n);
    test::ExpectSummaryColumns(carried.Peaks(), a, b, 1000, 0, n);
    test::ExpectSummaryColumns(carried.Peaks(), a, b, 700, n / 4, n / 4 + 300000);
}

using GainPiecesTest = test::TempDirTest;

TEST_F(GainPiecesTest, CarriedGainsReadDrawPlayAndSaveAsWrittenOnes)
{
    const auto wav = PathOf("in.wav"), mp3 = PathOf("in.mp3");
    // Loud enough that the gains clip, 16-bit (read in place) and decoded from an MP3 (floats).
    ASSERT_EQ(test::RunCommand("sox -R -n -r 44100 -c 2 -b 16 " + Quoted(wav) + " synth 3 pinknoise vol 0.7"), 0);
    ASSERT_EQ(test::RunCommand("lame --quiet -b 128 " + Quoted(wav) + " " + Quoted(mp3)), 0);
    for (const auto& [name, steps] : kCases) {
        for (const auto& source : {wav, mp3}) {
            SCOPED_TRACE(name + (" " + source.filename().string()));
            Document carried, written;
            carried.SetPreparesPeaks(true);
            ASSERT_EQ(carried.Load(source), 1);
            ASSERT_EQ(written.Load(source), 1);
            for (const Step& step : steps) {
                SCOPED_TRACE(std::string(1, step.op) + " " + std::to_string(step.start));
                Apply(carried, step);
                {
                    const test::WrittenGains asBefore;
                    Apply(written, step);
                }
                ExpectSameReads(carried, written);
                if (HasFatalFailure())
                    return;
            }
            for (const std::string ending : {".wav", ".mp3"}) {
                ASSERT_EQ(carried.Save(PathOf("carried" + ending)), 1);
                ASSERT_EQ(written.Save(PathOf("written" + ending)), 1);
                EXPECT_EQ(test::ReadFileBytes(PathOf("carried" + ending)), test::ReadFileBytes(PathOf("written" + ending)));
            }
        }
    }
}

}  // namespace
}  // namespace brindle

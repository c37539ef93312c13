// Gains carried by pieces against gains written into stores: the same edits, one document each way,
// must read, draw, play and save the same, bit for bit, on sounds sox and lame make.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "document/document.h"
#include "edit/column_peaks.h"
#include "edit/edit_kernels.h"
#include "support/test_support.h"

namespace brindle {
namespace {

using test::Quoted;
using test::RunCommand;

// V volume (percent), F full scale, I fade in, O fade out, C cut, K keep only, M to mono, S to
// stereo, U undo, R redo.
struct Step {
    char op;
    int64_t start = -1, end = -1;
    int32_t percent = 100;
};

struct GainCase {
    const char* name;
    std::vector<Step> steps;
};

const GainCase kCases[] = {
    {"each kind across blocks", {{'V', 1000, 120000, -70}, {'F', 90000, 200000}, {'I', 5, 150001}, {'O', 70000, 132299}}},
    {"a whole sound", {{'I'}, {'O'}, {'V', -1, -1, 400}, {'F'}}},
    // As many stages as a piece carries on one range, then one more that is written.
    {"a chain past its limit", {{'I', 2000, 100000}, {'O', 1000, 90000}, {'V', 0, 95000, 150}, {'F', 3000, 80000},
                                {'V', 500, 99000, 50}, {'I', 0, 4000}, {'V', 0, 99000, -90}, {'O', 40000, 99000},
                                {'F', 0, 99000}, {'I', 10, 50000}}},
    {"cuts through gains", {{'I', 1000, 120000}, {'C', 40000, 60000}, {'O', 30000, 80000}, {'K', 500, 100000},
                            {'F', 10, 5000}, {'C', 0, 300}}},
    {"undo and redo", {{'V', 0, 70000, 250}, {'I', 100, 60000}, {'U'}, {'U'}, {'R'}, {'O', 20000, 90000}, {'U'}, {'R'}}},
    {"channels", {{'I', 0, 50000}, {'M'}, {'F'}, {'S'}, {'O', 1000, 77777}}},
};

void PrintTo(const GainCase& row, std::ostream* out) { *out << row.name; }

class GainPiecesTest : public test::TempDirTest, public ::testing::WithParamInterface<GainCase> {
protected:
    static void Run(Document& document, const Step& step)
    {
        EditMarks marks;
        switch (step.op) {
        case 'V': ASSERT_EQ(document.ChangeVolume(step.start, step.end, step.percent), 1); break;
        case 'F': ASSERT_EQ(document.IncreaseVolume(step.start, step.end), 1); break;
        case 'I': ASSERT_EQ(document.FadeIn(step.start, step.end), 1); break;
        case 'O': ASSERT_EQ(document.FadeOut(step.start, step.end), 1); break;
        case 'C': ASSERT_EQ(document.DeleteRange(step.start, step.end, true), 1); break;
        case 'K': ASSERT_EQ(document.DeleteRange(step.start, step.end, false), 1); break;
        case 'M': ASSERT_EQ(document.ToMono(), 1); break;
        case 'S': ASSERT_EQ(document.ToStereo(), 1); break;
        case 'U': ASSERT_EQ(document.Undo(marks), 1); break;
        case 'R': ASSERT_EQ(document.Redo(marks), 1); break;
        }
        if (document.NeedsPeaks()) {
            ASSERT_EQ(document.BuildPeaks(), 1);
        }
    }

    // Every way the sound is read: the samples, the player's interleaved frames, the summary's
    // columns (whole and zoomed) and peaks, against the written twin read directly.
    static void ExpectSameReads(const Document& carried, const Document& written)
    {
        const ChannelSet& a = carried.ActiveBuffer().channels;
        const ChannelSet& b = written.ActiveBuffer().channels;
        ASSERT_EQ(a.ChannelCount(), b.ChannelCount());
        ASSERT_EQ(a.FrameCount(), b.FrameCount());
        for (int c = 0; c < a.ChannelCount(); ++c) {
            const std::vector<float> x = test::ReadStore(a.Channel(c)), y = test::ReadStore(b.Channel(c));
            ASSERT_EQ(std::memcmp(x.data(), y.data(), x.size() * sizeof(float)), 0) << "channel " << c;
            const int64_t n = a.FrameCount();
            for (const auto& [start, end] : {std::pair<int64_t, int64_t>{-1, -1}, {n / 3 + 7, n / 2 + 1001}}) {
                EXPECT_EQ(carried.Peaks().PeakInRange(a, c, start, end), PeakInRange(b.Channel(c), start, end))
                    << "channel " << c << " from " << start;
            }
        }
        std::vector<int16_t> played(size_t(a.FrameCount()) * a.ChannelCount()), twin(played.size());
        ASSERT_EQ(a.ReadInterleaved16(played.data(), a.FrameCount(), 0), b.ReadInterleaved16(twin.data(), b.FrameCount(), 0));
        EXPECT_EQ(played, twin);
        ASSERT_TRUE(carried.Peaks().IsBuiltFor(a));
        for (const auto& [first, end, width] : {std::tuple<int64_t, int64_t, uint32_t>{0, a.FrameCount(), 333},
                                                {0, a.FrameCount(), 1000},
                                                {a.FrameCount() / 4, a.FrameCount() / 4 + 300000, 700}}) {
            std::array<std::vector<PeakColumn>, 2> summary, direct;
            ASSERT_EQ(carried.Peaks().ComputeColumns(a, first, end, width, summary), 1);
            ASSERT_EQ(ComputeColumnPeaks(b, first, end, width, direct), 1);
            for (int c = 0; c < a.ChannelCount(); ++c) {
                ASSERT_EQ(summary[c].size(), direct[c].size());
                for (size_t k = 0; k < direct[c].size(); ++k) {
                    ASSERT_EQ(summary[c][k].max, direct[c][k].max) << "channel " << c << " column " << k;
                    ASSERT_EQ(summary[c][k].min, direct[c][k].min) << "channel " << c << " column " << k;
                }
            }
        }
    }
};

TEST_P(GainPiecesTest, CarriedGainsReadDrawPlayAndSaveAsWrittenOnes)
{
    const GainCase& row = GetParam();
    const auto wav = PathOf("in.wav"), mp3 = PathOf("in.mp3");
    // Loud enough that the gains clip, 16-bit (read in place) and decoded from an MP3 (floats).
    ASSERT_EQ(RunCommand("sox -R -n -r 44100 -c 2 -b 16 " + Quoted(wav) + " synth 3 pinknoise vol 0.7"), 0);
    ASSERT_EQ(RunCommand("lame --quiet -b 128 " + Quoted(wav) + " " + Quoted(mp3)), 0);
    for (const auto& source : {wav, mp3}) {
        SCOPED_TRACE(source.filename().string());
        Document carried, written;
        carried.SetPreparesPeaks(true);
        ASSERT_EQ(carried.Load(source), 1);
        ASSERT_EQ(written.Load(source), 1);
        for (const Step& step : row.steps) {
            SCOPED_TRACE(std::string(1, step.op) + " " + std::to_string(step.start));
            Run(carried, step);
            {
                test::WrittenGains asBefore;
                Run(written, step);
            }
            ExpectSameReads(carried, written);
            if (HasFatalFailure())
                return;
        }
        for (const char* ending : {".wav", ".mp3"}) {
            const auto a = PathOf(std::string("carried") + ending), b = PathOf(std::string("written") + ending);
            ASSERT_EQ(carried.Save(a), 1);
            ASSERT_EQ(written.Save(b), 1);
            EXPECT_EQ(test::ReadFileBytes(a), test::ReadFileBytes(b)) << ending;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, GainPiecesTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

}  // namespace
}  // namespace brindle

// The waveform's arithmetic without a widget: its peaks against a brute-force pass over what sox
// decodes, the pixel mappings, edge picking, the time text, the colour blend and the strip picture.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "document/document.h"
#include "edit/peak_summary.h"
#include "support/test_support.h"
#include "view/peak_cache.h"
#include "view/ruler_ticks.h"
#include "view/time_entry.h"
#include "view/time_format.h"
#include "view/view_colors.h"
#include "view/wave_image.h"
#include "view/waveform_geometry.h"

namespace brindle {
namespace {

using Peaks = std::array<std::vector<PeakColumn>, 2>;

Peaks BruteForcePeaks(const std::vector<float>& interleaved, int channels, uint32_t w)
{
    return test::ReferenceColumnPeaks([&](int c, int64_t g) { return interleaved[size_t(g * channels + c)]; },
                                      channels, 0, int64_t(interleaved.size()) / channels, w);
}

// A sound with fewer than two frames per column, drawn frame by frame: column x shows every frame g
// whose stretch of the width, [g * w / n, (g + 1) * w / n), overlaps the column's [x, x + 1).
Peaks FrameSpanPeaks(const std::vector<float>& interleaved, int channels, uint32_t w)
{
    Peaks peaks;
    const int64_t n = int64_t(interleaved.size()) / channels;
    for (int c = 0; c < channels; ++c) {
        for (int64_t x = 0; x < int64_t(w); ++x) {
            float max = 0, min = 0;
            for (int64_t g = 0; g < n; ++g) {
                if (g * w >= (x + 1) * n || (g + 1) * w <= x * n)
                    continue;
                const float v = interleaved[size_t(g * channels + c)];
                max = v > max ? v : max;
                min = v < min ? v : min;
            }
            peaks[size_t(c)].push_back({std::min(max, 1.0f), std::max(min, -1.0f)});
        }
    }
    return peaks;
}

class ViewPeaksTest : public test::TempDirTest {
protected:
    // A 16-bit WAV made by sox, loaded by the Document, and the same file decoded by sox to floats.
    void Make(const std::string& name, int channels, const std::string& synth)
    {
        const auto wav = PathOf(name + ".wav");
        const auto raw = PathOf(name + ".f32");
        ASSERT_EQ(test::RunCommand("sox -V1 -r 44100 -n -r 44100 -b 16 -c " + std::to_string(channels) + " " +
                                   test::Quoted(wav) + " synth " + synth),
                  0);
        ASSERT_EQ(test::RunCommand("sox " + test::Quoted(wav) + " -t f32 " + test::Quoted(raw)), 0);
        const auto bytes = test::ReadFileBytes(raw);
        decoded_.resize(bytes.size() / 4);
        std::memcpy(decoded_.data(), bytes.data(), bytes.size());
        ASSERT_EQ(document_.Load(wav), 1);
        channels_ = channels;
    }
    void ExpectMatches(std::initializer_list<int> widths)
    {
        PeakSummary summary;
        const ChannelSet& channels = document_.ActiveBuffer().channels;
        const uint32_t frames = channels.FrameCount();
        for (int width : widths) {
            PeakCache cache;
            EXPECT_EQ(ComputePeaks(cache, summary, channels, width), 1) << "width " << width;
            EXPECT_EQ(cache.IsMono(), channels_ == 1);
            const Peaks expected = frames >= 2 * uint32_t(width) ? BruteForcePeaks(decoded_, channels_, uint32_t(width))
                                                                 : FrameSpanPeaks(decoded_, channels_, uint32_t(width));
            ASSERT_EQ(cache.ColumnCount(), expected[0].size()) << "width " << width;
            for (int c = 0; c < channels_; ++c) {
                for (uint32_t i = 0; i < cache.ColumnCount(); ++i) {
                    ASSERT_EQ(cache.At(c, i).max, expected[size_t(c)][i].max) << "width " << width << " column " << i;
                    ASSERT_EQ(cache.At(c, i).min, expected[size_t(c)][i].min) << "width " << width << " column " << i;
                }
            }
            // Outside the columns a cache reads as silence.
            EXPECT_EQ(cache.At(0, -1).max, 0.0f);
            EXPECT_EQ(cache.At(1, cache.ColumnCount()).min, 0.0f);
        }
    }

    Document document_;
    std::vector<float> decoded_;
    int channels_ = 0;
};

TEST_F(ViewPeaksTest, PeaksOfALongStereoFileEqualTheBruteForcePass)
{
    // Seven seconds: 308,700 frames, past the first 262,144-frame block. A chirp makes every column
    // different from its neighbours; the noise on the other channel is driven into clipping.
    Make("long", 2, "7 sine 50-5000 whitenoise remix 1v0.7 2v1.5");
    ExpectMatches({1, 3, 257, 600, 1000, 1366, 1921, 2560});
}

// Below two frames a column, leaving out each column's first frame would leave columns empty: such a
// sound is drawn frame by frame instead, every column filled.
TEST_F(ViewPeaksTest, AFileShorterThanTwiceTheWidthShowsEachFrameAcrossTheColumnsItSpans)
{
    Make("short", 1, "500s sine 3000");
    ExpectMatches({100, 249, 250, 251, 499, 500, 501, 1000, 1921});
    Make("one", 2, "1s sine 3000 0 25 vol 0.6");  // a quarter period in: frame 0 is its peak
    ExpectMatches({1, 2, 586});
}

TEST(WaveformGeometry, FramesAndPixelsMapBothWaysAcrossTheWholeFile)
{
    const uint32_t frames = 441000;
    const int w = 586;
    EXPECT_EQ(FrameToPixel(0, frames, w), 0);
    EXPECT_EQ(FrameToPixel(frames, frames, w), w);
    EXPECT_EQ(FrameToPixel(frames * 3, frames, w), w);  // limited to the width
    EXPECT_EQ(FrameToPixel(-1, frames, w), -1);
    EXPECT_EQ(FrameToPixel(100, 0, w), -1);  // no sound
    EXPECT_EQ(PixelToFrame(0, frames, w), 0);
    EXPECT_EQ(PixelToFrame(w, frames, w), int64_t(frames));  // the last column is the end of the file
    // Each column maps to a frame that maps back to the same column.
    for (int x = 0; x <= w; ++x)
        EXPECT_EQ(FrameToPixel(PixelToFrame(x, frames, w), frames, w), x) << x;
    // A frame wider than half a column begins where it is drawn, so a range covers its frames.
    EXPECT_EQ(FrameToPixel(0, 100, 600), 0);
    EXPECT_EQ(FrameToPixel(99, 100, 600), 594);
    EXPECT_EQ(FrameToPixel(100, 100, 600), 600);
    EXPECT_EQ(FrameToPixel(1, 1, 586), 586);
    EXPECT_EQ(FrameToPixel(0, 1171, 586), 0);
    EXPECT_EQ(FrameToPixel(0, 1172, 586), 1);  // two frames a column: a frame late, as long sounds always were

    // The cursor stays on the view.
    EXPECT_EQ(CursorPixel(1.0, w), w - 1);
    EXPECT_EQ(CursorPixel(0.5, w), 293);
}

// Zoomed step by step from the whole sound to the deepest and back, around anchors near the start,
// the middle and the end: at every level the mapping goes both ways exactly across the visible range,
// the anchor stays under its column, and frames outside the range lie outside the width.
TEST(WaveformGeometry, AZoomedViewMapsFramesAndPixelsBothWaysAtEveryLevel)
{
    for (const uint32_t frames : {441000u, 158760000u, 3000u}) {
        for (const int w : {586, 1920}) {
            for (const double at : {0.0, 0.37, 0.999}) {
                const FrameRange whole{0, frames};
                FrameRange range = whole;
                const int anchorX = int(at * w);
                int levels = 0;
                while (true) {
                    const std::string where = std::to_string(frames) + " frames, width " + std::to_string(w) +
                                              ", from " + std::to_string(range.first) + " x " +
                                              std::to_string(range.count);
                    if (range == whole) {
                        for (int x = 0; x <= w; x += 7)
                            ASSERT_EQ(PixelToFrame(x, range, w), PixelToFrame(x, frames, w)) << where;
                        for (int64_t g = 0; g <= frames; g += frames / 97 + 1)
                            ASSERT_EQ(FrameToPixel(g, range, frames, w), FrameToPixel(g, frames, w)) << where;
                    }
                    if (range.count >= w) {
                        for (int x = 0; x <= w; ++x)
                            ASSERT_EQ(FrameToPixel(PixelToFrame(x, range, w), range, frames, w), x) << where << " x " << x;
                    } else {
                        for (int64_t g = range.first; g <= range.End(); ++g)
                            ASSERT_EQ(PixelToFrame(FrameToPixel(g, range, frames, w), range, w), g) << where;
                        EXPECT_EQ(PixelToFrame(w, range, w), range.End()) << where;
                    }
                    // Two columns' worth of frames past either edge are off the view, never on its edges.
                    const int64_t twoColumns = 2 * range.count / w + 2;
                    if (range.first >= twoColumns) {
                        EXPECT_LT(FrameToPixel(range.first - twoColumns, range, frames, w), 0) << where;
                    }
                    if (range.End() + twoColumns <= int64_t(frames)) {
                        EXPECT_GT(FrameToPixel(range.End() + twoColumns, range, frames, w), w) << where;
                    }
                    if (range.count == DeepestZoomCount(frames, w))
                        break;
                    const int64_t anchor = PixelToFrame(anchorX, range, w);
                    const FrameRange next = ZoomRange(range, frames, w, 1, anchorX, anchor);
                    ASSERT_LT(next.count, range.count) << where;
                    // The anchor keeps its column unless the sound's ends hold the range back.
                    if (next.first > 0 && next.End() < int64_t(frames)) {
                        EXPECT_EQ(PixelToFrame(anchorX, next, w), anchor) << where;
                    }
                    EXPECT_TRUE(next.first >= 0 && next.End() <= int64_t(frames)) << where;
                    range = next;
                    ++levels;
                }
                // The deepest shows at least 8 pixels a frame, and single frames map to their own columns.
                EXPECT_GE(w / range.count, kMinPixelsPerFrame);
                EXPECT_GT(levels, 2);
                for (int i = 0; i < levels + 1; ++i)
                    range = ZoomRange(range, frames, w, -1, w / 2, PixelToFrame(w / 2, range, w));
                EXPECT_EQ(range, whole);
            }
        }
    }
    // The cursor of a zoomed view: shown only within the range.
    const FrameRange range{1000, 200};
    EXPECT_EQ(CursorPixel(999, range, 400), -1);
    EXPECT_EQ(CursorPixel(1000, range, 400), 0);
    EXPECT_EQ(CursorPixel(1100, range, 400), 200);
    EXPECT_EQ(CursorPixel(1200, range, 400), 399);
    EXPECT_EQ(CursorPixel(1201, range, 400), -1);
}

TEST(WaveformGeometry, AnEdgeWithinTwoPixelsIsTakenAndTiesGoToTheStart)
{
    EXPECT_TRUE(HitTestEdges(102, 100, 200).start);
    EXPECT_FALSE(HitTestEdges(103, 100, 200).Any());
    EXPECT_TRUE(HitTestEdges(198, 100, 200).end);
    EXPECT_FALSE(HitTestEdges(198, 100, 200).start);
    // Edges two pixels apart: the middle is as near to both, and the start wins; nearer wins otherwise.
    const EdgeGrab tie = HitTestEdges(101, 100, 102);
    EXPECT_TRUE(tie.start);
    EXPECT_FALSE(tie.end);
    EXPECT_TRUE(HitTestEdges(102, 100, 102).end);
    EXPECT_FALSE(HitTestEdges(102, 100, 102).start);
    EXPECT_TRUE(HitTestEdges(100, 100, 100).start);  // both edges on one column
}

TEST(TimeFormat, ReadsMinutesOrHoursWithRoundedMilliseconds)
{
    EXPECT_EQ(FormatTime(83456.7), "01:23.457");
    EXPECT_EQ(FormatTime(3725004), "1:02:05.004");
    EXPECT_EQ(FormatTime(-1), "");
    EXPECT_EQ(FormatTime(0), "00:00.000");
    // A rounded-up millisecond carries into the seconds and minutes; a whole hour reads as one.
    EXPECT_EQ(FormatTime(59999.6), "01:00.000");
    EXPECT_EQ(FormatTime(3600000), "1:00:00.000");
    EXPECT_EQ(FormatTime(3599999.4), "59:59.999");
    EXPECT_EQ(FormatTime(36000000.0 * 3 + 1), "30:00:00.001");
}

// Typed times at 44.1 kHz against a 10-minute sound (26,460,000 frames).
TEST(TimeEntry, ReadsEveryFormRoundsToFramesAndRefusesTheRest)
{
    constexpr int64_t kLength = 26'460'000;
    constexpr auto kBad = TimeEntryError::Malformed;
    constexpr auto kOut = TimeEntryError::OutOfRange;
    struct Row {
        const char* text;
        int64_t frame;  // when taken
        TimeEntryError error;
    };
    const Row rows[] = {
        {"12.5", 551'250, TimeEntryError::None},
        {"12,5", 551'250, TimeEntryError::None},
        {" 0:12.500 ", 551'250, TimeEntryError::None},
        {"00:12.5", 551'250, TimeEntryError::None},
        {"0:00:12.5", 551'250, TimeEntryError::None},
        {"9:59.999", 26'459'956, TimeEntryError::None},
        {"10:00", kLength, TimeEntryError::None},
        {"600", kLength, TimeEntryError::None},
        {".5", 22'050, TimeEntryError::None},
        {"5.", 220'500, TimeEntryError::None},
        {"0.00001", 0, TimeEntryError::None},   // 0.441 of a frame rounds down
        {"0.000012", 1, TimeEntryError::None},  // 0.529 rounds up
        {"551250 smp", 551'250, TimeEntryError::None},
        {"551250отсч", 551'250, TimeEntryError::None},
        {"-5", kLength - 220'500, TimeEntryError::None},
        {"\u2212" "5", kLength - 220'500, TimeEntryError::None},
        {"-0:05.000", kLength - 220'500, TimeEntryError::None},
        {"-100 smp", kLength - 100, TimeEntryError::None},
        {"-0", kLength, TimeEntryError::None},
        {"10:00.001", 0, kOut},
        {"-10:01", 0, kOut},
        {"1:00:00", 0, kOut},
        {"26460001 smp", 0, kOut},
        {"999999999:00:00", 0, kOut},
        {"", 0, kBad},
        {"  ", 0, kBad},
        {"abc", 0, kBad},
        {"12.5s", 0, kBad},
        {"1e3", 0, kBad},
        {"1.2.3", 0, kBad},
        {"1:60", 0, kBad},
        {"1:60:00", 0, kBad},
        {"1:2:3:4", 0, kBad},
        {"5:", 0, kBad},
        {":5", 0, kBad},
        {".", 0, kBad},
        {"--5", 0, kBad},
        {"+5", 0, kBad},
        {"5-", 0, kBad},
        {"12.5 smp", 0, kBad},
        {"smp", 0, kBad},
        {"1234567890", 0, kBad},  // more digits than any field needs
        {"nan", 0, kBad},
    };
    for (const Row& row : rows) {
        const TimeEntry entry = ParseTimeEntry(row.text, 44100, kLength);
        EXPECT_EQ(entry.error, row.error) << '"' << row.text << '"';
        if (row.error == TimeEntryError::None) {
            EXPECT_EQ(entry.frame, row.frame) << '"' << row.text << '"';
        }
    }
    // A length has no end to count from.
    EXPECT_EQ(ParseTimeEntry("-5", 44100, kLength, false).error, kBad);
    EXPECT_EQ(ParseTimeEntry("5", 44100, kLength, false).frame, 220'500);
}

// The ruler at three zooms of a two-hour sound at 44.1 kHz, 600 columns: labels as close as 80
// columns allow, in the series' steps, with the decimals the step needs.
TEST(RulerTicks, LabelledTicksFollowTheZoomWithTheirTimes)
{
    constexpr uint32_t kFrames = 317'520'000;
    struct Row {
        FrameRange range;
        int64_t step;
        std::vector<std::string> labels;
    };
    const Row rows[] = {
        {{0, 26'460'000}, 120'000, {"0:00", "2:00", "4:00", "6:00", "8:00", "10:00"}},
        {{441'000, 441'000}, 2'000, {"0:10", "0:12", "0:14", "0:16", "0:18", "0:20"}},
        {{158'760'000 + 22'050, 4'410}, 20, {"1:00:00.50", "1:00:00.52", "1:00:00.54", "1:00:00.56", "1:00:00.58", "1:00:00.60"}},
    };
    for (const Row& row : rows) {
        int64_t step = 0;
        const std::vector<RulerTick> ticks = RulerTicks(row.range, kFrames, 44100, 600, 80, &step);
        EXPECT_EQ(step, row.step);
        std::vector<std::string> labels;
        int previous = -1000;
        for (const RulerTick& tick : ticks) {
            EXPECT_TRUE(tick.x >= 0 && tick.x <= 600);
            if (!tick.labelled)
                continue;
            EXPECT_GE(tick.x - previous, 80);
            EXPECT_EQ(tick.x, FrameToPixel((tick.ms * 44100 + 500) / 1000, row.range, kFrames, 600));
            previous = tick.x;
            labels.push_back(RulerLabel(tick.ms, step));
        }
        EXPECT_EQ(labels, row.labels);
        EXPECT_GT(ticks.size(), labels.size() * 2);  // short ticks between the labelled ones
    }
    EXPECT_EQ(RulerLabel(12'500, 500), "0:12.5");
    EXPECT_EQ(RulerLabel(25, 5), "0:00.025");
    EXPECT_EQ(RulerLabel(3'723'000, 1'000), "1:02:03");
    EXPECT_TRUE(RulerTicks({0, 0}, kFrames, 44100, 600, 80).empty());
}

TEST(ViewColors, BlendMixesInIntegersAndKeepsItsEnds)
{
    const Rgb face{240, 240, 240};
    EXPECT_EQ(BlendColor(face, colors::kWhite, 128), (Rgb{247, 247, 247}));
    EXPECT_EQ(BlendColor(face, colors::kBlack, 32), (Rgb{209, 209, 209}));
    EXPECT_EQ(BlendColor(Rgb{10, 100, 200}, Rgb{200, 0, 100}, 1), (Rgb{10, 99, 199}));  // rounds down
    EXPECT_EQ(BlendColor(face, colors::kBlack, 0), face);
    EXPECT_EQ(BlendColor(face, colors::kBlack, 255), colors::kBlack);
}

Rgb PixelAt(const QImage& image, int x, int y)
{
    const QRgb p = image.pixel(x, y);
    return {uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))};
}

TEST(WaveImage, StripsShowSilenceFullScaleAndTheSeparator)
{
    // Mono, 4 columns in a 101-row image: half 50, centre 50.
    PeakCache mono;
    mono.Columns()[0] = {{0, 0}, {1.0f, -1.0f}, {0.5f, -0.25f}, {0.999f, 0}};
    const QImage image = BuildWaveImage(mono, 4, 101);
    ASSERT_EQ(image.format(), QImage::Format_RGB888);
    auto line = [&](int x) {
        std::vector<int> rows;
        for (int y = 0; y < image.height(); ++y) {
            const Rgb p = PixelAt(image, x, y);
            if (p == colors::kWaveLine)
                rows.push_back(y);
            else
                EXPECT_EQ(p, colors::kStripBackground) << x << "," << y;
        }
        return rows.empty() ? std::pair(-1, -1) : std::pair(rows.front(), rows.back());
    };
    EXPECT_EQ(line(0), std::pair(50, 50));  // silence: the centre row alone
    EXPECT_EQ(line(1), std::pair(0, 99));   // full scale: from the top row to just above centre + half
    EXPECT_EQ(line(2), std::pair(25, 61));
    EXPECT_EQ(line(3), std::pair(1, 50));   // trunc(0.999 * 50) = 49

    // Stereo in 101 rows: two strips of 50 rows and the separator on row 50. A cache of 2 columns
    // drawn 4 pixels wide stretches each column over two pixels.
    PeakCache stereo;
    stereo.Columns()[0] = {{1.0f, 0}, {0, 0}};
    stereo.Columns()[1] = {{0, 0}, {0, -1.0f}};
    const QImage both = BuildWaveImage(stereo, 4, 101);
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(PixelAt(both, x, 50), colors::kChannelSeparator);
        EXPECT_EQ(PixelAt(both, x, 25), colors::kWaveLine);   // channel 0's centre
        EXPECT_EQ(PixelAt(both, x, 76), colors::kWaveLine);   // channel 1's centre: 51 + 25
        EXPECT_EQ(PixelAt(both, x, 0), x < 2 ? colors::kWaveLine : colors::kStripBackground);
        // The lower strip has an even height: centre + half is its bottom, so -1.0 reaches the last row.
        EXPECT_EQ(PixelAt(both, x, 100), x < 2 ? colors::kStripBackground : colors::kWaveLine);
        EXPECT_EQ(PixelAt(both, x, 26), colors::kStripBackground);  // no negative sample: ends on the centre
    }
}

}  // namespace
}  // namespace brindle

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

// From two frames a column the shared brute-force pass; below that, frame by frame: column x shows
// every frame g whose stretch of the width, [g * w / n, (g + 1) * w / n), overlaps [x, x + 1).
Peaks ExpectedPeaks(const std::vector<float>& interleaved, int channels, uint32_t w)
{
    const int64_t n = int64_t(interleaved.size()) / channels;
    auto sample = [&](int c, int64_t g) { return interleaved[size_t(g * channels + c)]; };
    if (n >= 2 * int64_t(w))
        return test::ReferenceColumnPeaks(sample, channels, 0, n, w);
    Peaks peaks;
    for (int c = 0; c < channels; ++c) {
        for (int64_t x = 0; x < int64_t(w); ++x) {
            float max = 0, min = 0;
            for (int64_t g = x * n / w; g * w < (x + 1) * n; ++g) {
                max = std::max(max, sample(c, g));
                min = std::min(min, sample(c, g));
            }
            peaks[size_t(c)].push_back({std::min(max, 1.0f), std::max(min, -1.0f)});
        }
    }
    return peaks;
}

class ViewPeaksTest : public test::TempDirTest {};

// Seven seconds pass the first 262,144-frame block; the chirp makes every column differ from its
// neighbours and the noise is driven into clipping. Under two frames a column every column is filled.
TEST_F(ViewPeaksTest, PeaksEqualTheBruteForcePassOverWhatSoxDecodes)
{
    const struct { const char* name; int channels; const char* synth; std::vector<int> widths; } rows[] = {
        {"long", 2, "7 sine 50-5000 whitenoise remix 1v0.7 2v1.5", {1, 3, 257, 600, 1000, 1366, 1921, 2560}},
        {"short", 1, "500s sine 3000", {100, 249, 250, 251, 499, 500, 501, 1000, 1921}},
        {"one", 2, "1s sine 3000 0 25 vol 0.6", {1, 2, 586}},  // a quarter period in: frame 0 is its peak
    };
    for (const auto& row : rows) {
        const auto wav = PathOf(std::string(row.name) + ".wav"), raw = PathOf(std::string(row.name) + ".f32");
        ASSERT_EQ(test::RunCommand("sox -V1 -r 44100 -n -r 44100 -b 16 -c " + std::to_string(row.channels) + " " +
                                   test::Quoted(wav) + " synth " + row.synth), 0);
        ASSERT_EQ(test::RunCommand("sox " + test::Quoted(wav) + " -t f32 " + test::Quoted(raw)), 0);
        const auto bytes = test::ReadFileBytes(raw);
        std::vector<float> decoded(bytes.size() / 4);
        std::memcpy(decoded.data(), bytes.data(), bytes.size());
        Document document;
        ASSERT_EQ(document.Load(wav), 1);
        PeakSummary summary;
        for (int width : row.widths) {
            SCOPED_TRACE(std::string(row.name) + ", width " + std::to_string(width));
            PeakCache cache;
            EXPECT_EQ(ComputePeaks(cache, summary, document.ActiveBuffer().channels, width), 1);
            EXPECT_EQ(cache.IsMono(), row.channels == 1);
            const Peaks expected = ExpectedPeaks(decoded, row.channels, uint32_t(width));
            ASSERT_EQ(cache.ColumnCount(), expected[0].size());
            for (int c = 0; c < row.channels; ++c) {
                for (uint32_t i = 0; i < cache.ColumnCount(); ++i) {
                    ASSERT_EQ(cache.At(c, i).max, expected[size_t(c)][i].max) << "column " << i;
                    ASSERT_EQ(cache.At(c, i).min, expected[size_t(c)][i].min) << "column " << i;
                }
            }
            EXPECT_EQ(cache.At(0, -1).max, 0.0f);  // outside the columns: silence
            EXPECT_EQ(cache.At(1, cache.ColumnCount()).min, 0.0f);
        }
    }
}

// {frame, frames, width, pixel}: limited to the width, -1 with no sound; a frame wider than half a
// column begins where it is drawn, so a range covers its frames; at two frames a column a frame late.
TEST(WaveformGeometry, FramesAndPixelsMapBothWaysAcrossTheWholeFile)
{
    const uint32_t frames = 441000;
    const int w = 586;
    const int64_t rows[][4] = {{0, frames, w, 0},   {frames, frames, w, w}, {frames * 3, frames, w, w},
                               {-1, frames, w, -1}, {100, 0, w, -1},        {0, 100, 600, 0},
                               {99, 100, 600, 594}, {100, 100, 600, 600},   {1, 1, 586, 586},
                               {0, 1171, 586, 0},   {0, 1172, 586, 1}};
    for (const auto& r : rows)
        EXPECT_EQ(FrameToPixel(r[0], uint32_t(r[1]), int(r[2])), r[3]) << r[0] << " of " << r[1] << " in " << r[2];
    EXPECT_EQ(PixelToFrame(0, frames, w), 0);
    EXPECT_EQ(PixelToFrame(w, frames, w), int64_t(frames));  // the last column is the end of the file
    for (int x = 0; x <= w; ++x)
        EXPECT_EQ(FrameToPixel(PixelToFrame(x, frames, w), frames, w), x) << x;
    EXPECT_EQ(CursorPixel(1.0, w), w - 1);  // the cursor stays on the view
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
                for (;; ++levels) {
                    SCOPED_TRACE(std::to_string(frames) + " frames, width " + std::to_string(w) + ", from " +
                                 std::to_string(range.first) + " x " + std::to_string(range.count));
                    for (int x = 0; range == whole && x <= w; x += 7)
                        ASSERT_EQ(PixelToFrame(x, range, w), PixelToFrame(x, frames, w));
                    for (int64_t g = 0; range == whole && g <= frames; g += frames / 97 + 1)
                        ASSERT_EQ(FrameToPixel(g, range, frames, w), FrameToPixel(g, frames, w));
                    for (int x = 0; range.count >= w && x <= w; ++x)
                        ASSERT_EQ(FrameToPixel(PixelToFrame(x, range, w), range, frames, w), x) << " x " << x;
                    for (int64_t g = range.first; range.count < w && g <= range.End(); ++g)
                        ASSERT_EQ(PixelToFrame(FrameToPixel(g, range, frames, w), range, w), g);
                    if (range.count < w) { EXPECT_EQ(PixelToFrame(w, range, w), range.End()); }
                    // Two columns' worth of frames past either edge are off the view, never on its edges.
                    const int64_t twoColumns = 2 * range.count / w + 2;
                    EXPECT_TRUE(range.first < twoColumns || FrameToPixel(range.first - twoColumns, range, frames, w) < 0);
                    EXPECT_TRUE(range.End() + twoColumns > frames || FrameToPixel(range.End() + twoColumns, range, frames, w) > w);
                    if (range.count == DeepestZoomCount(frames, w))
                        break;
                    const int64_t anchor = PixelToFrame(anchorX, range, w);
                    const FrameRange next = ZoomRange(range, frames, w, 1, anchorX, anchor);
                    ASSERT_LT(next.count, range.count);
                    // The anchor keeps its column unless the sound's ends hold the range back.
                    if (next.first > 0 && next.End() < int64_t(frames)) { EXPECT_EQ(PixelToFrame(anchorX, next, w), anchor); }
                    EXPECT_TRUE(next.first >= 0 && next.End() <= int64_t(frames));
                    range = next;
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
    for (const auto& [position, pixel] : {std::pair{999, -1}, {1000, 0}, {1100, 200}, {1200, 399}, {1201, -1}})
        EXPECT_EQ(CursorPixel(position, FrameRange{1000, 200}, 400), pixel) << position;
}

// {x, start, end, start taken, end taken}: edges two apart tie in the middle and the start wins.
TEST(WaveformGeometry, AnEdgeWithinTwoPixelsIsTakenAndTiesGoToTheStart)
{
    const int rows[][5] = {{102, 100, 200, 1, 0}, {103, 100, 200, 0, 0}, {198, 100, 200, 0, 1},
                           {101, 100, 102, 1, 0}, {102, 100, 102, 0, 1}, {100, 100, 100, 1, 0}};
    for (const auto& r : rows) {
        const EdgeGrab grab = HitTestEdges(r[0], r[1], r[2]);
        EXPECT_EQ(std::tuple(grab.start, grab.end, grab.Any()), std::tuple(r[3] == 1, r[4] == 1, r[3] + r[4] > 0))
            << r[0] << " of " << r[1] << ".." << r[2];
    }
}

// A rounded-up millisecond carries into the seconds and minutes; a whole hour reads as one.
TEST(TimeFormat, ReadsMinutesOrHoursWithRoundedMilliseconds)
{
    const std::pair<double, const char*> rows[] = {
        {83456.7, "01:23.457"}, {3725004, "1:02:05.004"}, {-1, ""}, {0, "00:00.000"}, {59999.6, "01:00.000"},
        {3600000, "1:00:00.000"}, {3599999.4, "59:59.999"}, {36000000.0 * 3 + 1, "30:00:00.001"}};
    for (const auto& [ms, text] : rows)
        EXPECT_EQ(FormatTime(ms), text) << ms;
}

// Typed times at 44.1 kHz against a 10-minute sound: the frame taken, or kOut / kBad when refused.
TEST(TimeEntry, ReadsEveryFormRoundsToFramesAndRefusesTheRest)
{
    constexpr int64_t kLength = 26'460'000, kOut = -1, kBad = -2, kEnd5 = kLength - 220'500;
    const std::pair<const char*, int64_t> rows[] = {
        {"12.5", 551'250}, {"12,5", 551'250}, {" 0:12.500 ", 551'250}, {"00:12.5", 551'250}, {"0:00:12.5", 551'250},
        {"9:59.999", 26'459'956}, {"10:00", kLength}, {"600", kLength}, {".5", 22'050}, {"5.", 220'500},
        {"0.00001", 0}, {"0.000012", 1},  // 0.441 of a frame rounds down, 0.529 up
        {"551250 smp", 551'250}, {"551250отсч", 551'250}, {"-5", kEnd5}, {"\u2212" "5", kEnd5}, {"-0:05.000", kEnd5},
        {"-100 smp", kLength - 100}, {"-0", kLength}, {"10:00.001", kOut}, {"-10:01", kOut}, {"1:00:00", kOut},
        {"26460001 smp", kOut}, {"999999999:00:00", kOut}, {"", kBad}, {"  ", kBad}, {"abc", kBad}, {"12.5s", kBad},
        {"1e3", kBad}, {"1.2.3", kBad}, {"1:60", kBad}, {"1:60:00", kBad}, {"1:2:3:4", kBad}, {"5:", kBad},
        {":5", kBad}, {".", kBad}, {"--5", kBad}, {"+5", kBad}, {"5-", kBad}, {"12.5 smp", kBad}, {"smp", kBad},
        {"nan", kBad}, {"1234567890", kBad}};  // the last: more digits than any field needs
    for (const auto& [text, frame] : rows) {
        const TimeEntry entry = ParseTimeEntry(text, 44100, kLength);
        EXPECT_EQ(entry.error, frame == kOut   ? TimeEntryError::OutOfRange
                               : frame == kBad ? TimeEntryError::Malformed
                                               : TimeEntryError::None) << '"' << text << '"';
        if (frame >= 0) { EXPECT_EQ(entry.frame, frame) << '"' << text << '"'; }
    }
    // A length has no end to count from.
    EXPECT_EQ(ParseTimeEntry("-5", 44100, kLength, false).error, TimeEntryError::Malformed);
    EXPECT_EQ(ParseTimeEntry("5", 44100, kLength, false).frame, 220'500);
}

// The ruler at three zooms of a two-hour sound at 44.1 kHz, 600 columns: labels as close as 80
// columns allow, in the series' steps, with the decimals the step needs.
TEST(RulerTicks, LabelledTicksFollowTheZoomWithTheirTimes)
{
    constexpr uint32_t kFrames = 317'520'000;
    const struct { FrameRange range; int64_t step; std::vector<std::string> labels; } rows[] = {
        {{0, 26'460'000}, 120'000, {"0:00", "2:00", "4:00", "6:00", "8:00", "10:00"}},
        {{441'000, 441'000}, 2'000, {"0:10", "0:12", "0:14", "0:16", "0:18", "0:20"}},
        {{158'760'000 + 22'050, 4'410}, 20, {"1:00:00.50", "1:00:00.52", "1:00:00.54", "1:00:00.56", "1:00:00.58", "1:00:00.60"}},
    };
    for (const auto& row : rows) {
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
    for (const auto& [ms, step, label] : {std::tuple(12'500, 500, "0:12.5"), {25, 5, "0:00.025"}, {3'723'000, 1'000, "1:02:03"}})
        EXPECT_EQ(RulerLabel(ms, step), label);
    EXPECT_TRUE(RulerTicks({0, 0}, kFrames, 44100, 600, 80).empty());
}

TEST(ViewColors, BlendMixesInIntegersRoundingDownAndKeepsItsEnds)
{
    const Rgb face{240, 240, 240};
    EXPECT_EQ(BlendColor(face, colors::kWhite, 128), (Rgb{247, 247, 247}));
    EXPECT_EQ(BlendColor(face, colors::kBlack, 32), (Rgb{209, 209, 209}));
    EXPECT_EQ(BlendColor(Rgb{10, 100, 200}, Rgb{200, 0, 100}, 1), (Rgb{10, 99, 199}));
    EXPECT_EQ(BlendColor(face, colors::kBlack, 0), face);
    EXPECT_EQ(BlendColor(face, colors::kBlack, 255), colors::kBlack);
}

TEST(WaveImage, StripsShowSilenceFullScaleAndTheSeparator)
{
    auto PixelAt = [](const QImage& image, int x, int y) {
        const QRgb p = image.pixel(x, y);
        return Rgb{uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p))};
    };
    // Mono, 4 columns in 101 rows (half 50, centre 50), each column's first and last line row:
    // silence on the centre alone, full scale from the top to just above centre + half, 0.999 to 49.
    PeakCache mono;
    mono.Columns()[0] = {{0, 0}, {1.0f, -1.0f}, {0.5f, -0.25f}, {0.999f, 0}};
    const QImage image = BuildWaveImage(mono, 4, 101);
    ASSERT_EQ(image.format(), QImage::Format_RGB888);
    const std::pair<int, int> lines[] = {{50, 50}, {0, 99}, {25, 61}, {1, 50}};
    for (int x = 0; x < 4; ++x) {
        std::vector<int> rows;
        for (int y = 0; y < image.height(); ++y) {
            if (PixelAt(image, x, y) == colors::kWaveLine)
                rows.push_back(y);
            else
                EXPECT_EQ(PixelAt(image, x, y), colors::kStripBackground) << x << "," << y;
        }
        EXPECT_EQ(rows.empty() ? std::pair(-1, -1) : std::pair(rows.front(), rows.back()), lines[x]) << x;
    }
    // Stereo: two strips of 50 rows and the separator on row 50. A cache of 2 columns drawn 4 pixels
    // wide stretches each column over two pixels.
    PeakCache stereo;
    stereo.Columns()[0] = {{1.0f, 0}, {0, 0}};
    stereo.Columns()[1] = {{0, 0}, {0, -1.0f}};
    const QImage both = BuildWaveImage(stereo, 4, 101);
    for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(PixelAt(both, x, 50), colors::kChannelSeparator);
        EXPECT_EQ(PixelAt(both, x, 25), colors::kWaveLine);  // channel 0's centre
        EXPECT_EQ(PixelAt(both, x, 76), colors::kWaveLine);  // channel 1's centre: 51 + 25
        EXPECT_EQ(PixelAt(both, x, 0), x < 2 ? colors::kWaveLine : colors::kStripBackground);
        // The lower strip has an even height: centre + half is its bottom, so -1.0 reaches the last row.
        EXPECT_EQ(PixelAt(both, x, 100), x < 2 ? colors::kStripBackground : colors::kWaveLine);
        EXPECT_EQ(PixelAt(both, x, 26), colors::kStripBackground);  // no negative sample: ends on the centre
    }
}

}  // namespace
}  // namespace brindle

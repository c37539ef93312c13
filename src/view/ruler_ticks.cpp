#include "view/ruler_ticks.h"

#include <cstdio>

namespace brindle {
namespace {

struct Step {
    int64_t ms;
    int divisions;  // short ticks split the step into this many parts
};
constexpr Step kSteps[] = {
    {1, 5},         {2, 4},         {5, 5},         {10, 5},        {20, 4},       {50, 5},       {100, 5},
    {200, 4},       {500, 5},       {1000, 5},      {2000, 4},      {5000, 5},     {10000, 5},    {15000, 3},
    {30000, 3},     {60000, 6},     {120000, 4},    {300000, 5},    {600000, 5},   {900000, 3},   {1800000, 3},
    {3600000, 6},   {7200000, 4},   {18000000, 5},  {36000000, 6},  {86400000, 4},
};

}  // namespace

std::vector<RulerTick> RulerTicks(FrameRange range, uint32_t frameCount, uint32_t sampleRate, int width,
                                  int minLabelSpacing, int64_t* labelStepMs)
{
    std::vector<RulerTick> ticks;
    if (range.count <= 0 || sampleRate == 0 || width <= 0)
        return ticks;
    const double pixelsPerMs = double(width) * sampleRate / (1000.0 * double(range.count));
    Step step = kSteps[std::size(kSteps) - 1];
    for (const Step& candidate : kSteps) {
        if (double(candidate.ms) * pixelsPerMs >= minLabelSpacing) {
            step = candidate;
            break;
        }
    }
    if (labelStepMs)
        *labelStepMs = step.ms;
    const int64_t minor = step.ms / step.divisions;
    const int64_t firstMs = range.first * 1000 / sampleRate;
    const int64_t endMs = range.End() * 1000 / sampleRate + 1;
    for (int64_t ms = firstMs / minor * minor; ms <= endMs; ms += minor) {
        const int64_t frame = (ms * sampleRate + 500) / 1000;
        const int x = FrameToPixel(frame, range, frameCount, width);
        if (x < 0 || x > width || frame < range.first)
            continue;
        ticks.push_back({x, ms, ms % step.ms == 0});
    }
    return ticks;
}

std::string RulerLabel(int64_t ms, int64_t labelStepMs)
{
    const int decimals = labelStepMs % 1000 == 0 ? 0 : labelStepMs % 100 == 0 ? 1 : labelStepMs % 10 == 0 ? 2 : 3;
    const int64_t hours = ms / 3600000;
    const int minutes = int(ms / 60000 % 60);
    const int seconds = int(ms / 1000 % 60);
    char text[48];
    int length = hours > 0 ? std::snprintf(text, sizeof text, "%lld:%02d:%02d", (long long)hours, minutes, seconds)
                           : std::snprintf(text, sizeof text, "%d:%02d", minutes, seconds);
    if (decimals > 0) {
        int fraction = int(ms % 1000);
        for (int i = decimals; i < 3; ++i)
            fraction /= 10;
        std::snprintf(text + length, sizeof text - size_t(length), ".%0*d", decimals, fraction);
    }
    return text;
}

}  // namespace brindle

// Where the time ruler's ticks go and what its labels say. No Qt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "view/waveform_geometry.h"

namespace brindle {

struct RulerTick {
    int x = 0;             // the column, as FrameToPixel maps the tick's frame
    int64_t ms = 0;        // the time it marks
    bool labelled = false;  // a long tick with its time written beside it
};

// The ticks of the frames shown (range, of a sound of frameCount frames at sampleRate) across width
// columns: labelled ones at the smallest step of a 1-2-5 series of times (then 15 s, 30 s, minutes,
// hours) that keeps them minLabelSpacing columns apart or more, with short ones between. Only ticks
// within 0..width; none for an empty range, no rate or no width.
std::vector<RulerTick> RulerTicks(FrameRange range, uint32_t frameCount, uint32_t sampleRate, int width,
                                  int minLabelSpacing, int64_t* labelStepMs = nullptr);

// A tick's label: "m:ss" or "h:mm:ss", with as many decimals as the label step needs ("0:12.5" at
// 500 ms, "0:00.025" at 5 ms).
std::string RulerLabel(int64_t ms, int64_t labelStepMs);

}  // namespace brindle

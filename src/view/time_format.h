// The time read-outs' text. No Qt.
#pragma once

#include <string>

namespace brindle {

// milliseconds as "mm:ss.mmm" below an hour ("01:23.457") and "h:mm:ss.mmm" from an hour on
// ("1:02:05.004"); the empty text for a negative time. The milliseconds are rounded to the nearest
// one first, so 59,999.6 ms reads 01:00.000 (never a field of 1000), and exactly 3,600,000 ms reads
// 1:00:00.000.
std::string FormatTime(double milliseconds);

}  // namespace brindle

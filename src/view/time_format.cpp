#include "view/time_format.h"

#include <algorithm>
#include <cstdio>

namespace brindle {

std::string FormatTime(double milliseconds)
{
    if (!(milliseconds >= 0))
        return {};
    // Whole milliseconds first, then exact integer splits: rounding each field on its own after the
    // others were truncated could leave 1000 in the last one or 60 in the minutes.
    const long long total = (long long)(std::min(milliseconds, 1e15) + 0.5);
    const long long hours = total / 3600000;
    const int minutes = int(total / 60000 % 60);
    const int seconds = int(total / 1000 % 60);
    const int millis = int(total % 1000);
    char text[48];
    if (hours > 0)
        std::snprintf(text, sizeof text, "%lld:%02d:%02d.%03d", hours, minutes, seconds, millis);
    else
        std::snprintf(text, sizeof text, "%02d:%02d.%03d", minutes, seconds, millis);
    return text;
}

}  // namespace brindle

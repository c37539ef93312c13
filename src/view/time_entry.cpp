#include "view/time_entry.h"

#include <array>

namespace brindle {
namespace {

constexpr std::string_view kMinus = "\xE2\x88\x92";  // U+2212, what the window itself writes
// A time past this many seconds is longer than any sound can be (2^32 frames at 8 kHz is about 6 days),
// and keeping the fields below it keeps the arithmetic far from overflow.
constexpr int64_t kLongestSeconds = 10'000'000;
constexpr int kMaxFieldDigits = 9;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Digits only, at least one, at most kMaxFieldDigits.
bool ReadWhole(std::string_view text, int64_t& value)
{
    if (text.empty() || text.size() > size_t(kMaxFieldDigits))
        return false;
    value = 0;
    for (char c : text) {
        if (!IsDigit(c))
            return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// A frame count: digits, blanks, then one of the units (ASCII case ignored).
bool ReadFrameCount(std::string_view text, int64_t& frames, bool& isFrameCount)
{
    static constexpr std::array<std::string_view, 4> kUnits = {"smp", "SMP", "Smp", "отсч"};
    for (std::string_view unit : kUnits) {
        if (text.size() > unit.size() && text.substr(text.size() - unit.size()) == unit) {
            isFrameCount = true;
            return ReadWhole(Trimmed(text.substr(0, text.size() - unit.size())), frames);
        }
    }
    isFrameCount = false;
    return true;
}

// [[h:]m:]s[.fraction] into whole seconds and nanoseconds.
bool ReadClock(std::string_view text, int64_t& seconds, int64_t& nanoseconds)
{
    std::array<std::string_view, 3> fields;
    size_t count = 0;
    for (;;) {
        const size_t colon = text.find(':');
        if (count == fields.size())
            return false;
        fields[count++] = text.substr(0, colon);
        if (colon == std::string_view::npos)
            break;
        text.remove_prefix(colon + 1);
    }
    std::string_view last = fields[count - 1];
    const size_t mark = last.find_first_of(".,");
    std::string_view fraction;
    if (mark != std::string_view::npos) {
        fraction = last.substr(mark + 1);
        last = last.substr(0, mark);
    }
    // "5." and ".5" read as people mean them; "." or "5:" alone is nothing.
    if (last.empty() && fraction.empty())
        return false;
    int64_t whole = 0;
    if (!last.empty() && !ReadWhole(last, whole))
        return false;
    nanoseconds = 0;
    int64_t scale = 100'000'000;
    for (char c : fraction) {
        if (!IsDigit(c))
            return false;
        nanoseconds += (c - '0') * scale;  // digits past the nanosecond add nothing
        scale /= 10;
    }
    if (count > 1 && whole >= 60)
        return false;
    seconds = whole;
    int64_t multiplier = 60;
    for (size_t i = count - 1; i-- > 0;) {
        int64_t value = 0;
        if (!ReadWhole(fields[i], value))
            return false;
        if (i > 0 && value >= 60)  // minutes under hours
            return false;
        seconds += value * multiplier;
        multiplier *= 60;
    }
    return true;
}

}  // namespace

TimeEntry ParseTimeEntry(std::string_view text, uint32_t sampleRate, int64_t frameCount, bool fromEndAllowed)
{
    TimeEntry entry;
    entry.error = TimeEntryError::Malformed;
    text = Trimmed(text);
    bool fromEnd = false;
    if (!text.empty() && text.front() == '-') {
        fromEnd = true;
        text.remove_prefix(1);
    } else if (text.substr(0, kMinus.size()) == kMinus) {
        fromEnd = true;
        text.remove_prefix(kMinus.size());
    }
    if ((fromEnd && !fromEndAllowed) || text.empty() || sampleRate == 0)
        return entry;

    int64_t frames = 0;
    bool isFrameCount = false;
    if (!ReadFrameCount(text, frames, isFrameCount))
        return entry;
    if (!isFrameCount) {
        int64_t seconds = 0;
        int64_t nanoseconds = 0;
        if (!ReadClock(text, seconds, nanoseconds))
            return entry;
        if (seconds > kLongestSeconds) {
            entry.error = TimeEntryError::OutOfRange;
            return entry;
        }
        frames = seconds * sampleRate + (nanoseconds * sampleRate + 500'000'000) / 1'000'000'000;
    }
    entry.frame = fromEnd ? frameCount - frames : frames;
    entry.error = entry.frame >= 0 && entry.frame <= frameCount ? TimeEntryError::None : TimeEntryError::OutOfRange;
    return entry;
}

}  // namespace brindle

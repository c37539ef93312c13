// Times a person types: the selection and the play position set by value. No Qt.
#pragma once

#include <cstdint>
#include <string_view>

namespace brindle {

// Why a typed time was refused; None when it was taken.
enum class TimeEntryError { None, Malformed, OutOfRange };

struct TimeEntry {
    int64_t frame = 0;  // where the time falls, counted from the sound's start
    TimeEntryError error = TimeEntryError::None;
    bool Ok() const { return error == TimeEntryError::None; }
};

// Reads text (UTF-8) as one of
//   h:mm:ss.mmm   "1:02:03.5"   (minutes and seconds below 60 when a larger field is given)
//   mm:ss.mmm     "12:30", "0:12.5"
//   seconds       "12.5", "12,5" (either decimal mark), "750"
//   a frame count "551250 smp" or "551250 отсч" (each frame is one sample of every channel)
// with blanks allowed around it. A leading "-" or "−" counts from the end: "−5" is five seconds
// before it. Times round to the nearest frame at sampleRate. The result must lie within 0..frameCount;
// anything else is OutOfRange, and text none of the forms above reads is Malformed. With
// fromEndAllowed false (a length), a sign is Malformed.
TimeEntry ParseTimeEntry(std::string_view text, uint32_t sampleRate, int64_t frameCount, bool fromEndAllowed = true);

}  // namespace brindle

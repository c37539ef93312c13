// Internal to the MP3 decode and encode in ranges: how one range ended, and how the ranges' ends
// make the whole run's result.
#pragma once

#include "tasks/failure.h"

namespace brindle::detail {

enum class RangeOutcome {
    Done,
    NotVouched,
    Failed,   // a file or the sound could not be read or written; the range kept the reason
    Stopped,  // asked to stop: a cancel, or another range that failed
};

// Result (RangeDecode or RangeEncode) of ranges, each with an outcome and a reason: Failed, with the
// first failed range's reason noted on this thread; else NotVouched when a range did not end Done or
// the other ranges never started; else Done.
template <class Result, class Ranges>
Result FoldRangeOutcomes(const Ranges& ranges, bool started)
{
    Result result = started ? Result::Done : Result::NotVouched;
    for (const auto& range : ranges) {
        if (range.outcome == RangeOutcome::Failed) {
            NoteFailure(range.reason);
            return Result::Failed;
        }
        if (range.outcome != RangeOutcome::Done)
            result = Result::NotVouched;
    }
    return result;
}

}  // namespace brindle::detail

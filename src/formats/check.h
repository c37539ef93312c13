// Internal to the format readers and writers: inside an operation every failed check throws a
// Failure, and the operation's boundary (Guarded) catches it and returns 0, so nothing escapes to
// the caller. A check with no text relies on a reason noted deeper down (a failed read's errno).
#pragma once

#include <string>

#include "tasks/failure.h"
#include "tasks/progress.h"

namespace brindle::detail {

[[noreturn]] inline void Throw() { throw Failure(); }

inline void Check(bool condition)
{
    if (!condition)
        Throw();
}

// Fails with a reason the user can read when condition is false.
inline void Check(bool condition, const char* formatReason)
{
    if (!condition)
        ThrowFormat(formatReason);
}

inline void Check(bool condition, const std::string& formatReason)
{
    if (!condition)
        ThrowFormat(formatReason);
}

// Fails as cancelled once the user has asked to stop (progress may be null).
inline void CheckNotCancelled(const Progress* progress)
{
    if (IsCancelled(progress))
        ThrowCancelled();
}

}  // namespace brindle::detail

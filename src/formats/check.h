// Internal to the format readers and writers: inside an operation every failed check throws "err",
// and the operation's boundary catches it and returns 0, so nothing escapes to the caller.
#pragma once

namespace brindle::detail {

[[noreturn]] inline void Throw() { throw "err"; }

inline void Check(bool condition)
{
    if (!condition)
        Throw();
}

}  // namespace brindle::detail

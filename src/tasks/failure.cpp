#include "tasks/failure.h"

#include <cerrno>
#include <cstring>

namespace brindle {

namespace {

thread_local FailureReason tLastFailure;

}  // namespace

const FailureReason& LastFailure() { return tLastFailure; }

void ClearLastFailure() { tLastFailure = {}; }

void NoteFailure(FailureReason reason)
{
    if (!tLastFailure.IsSet() && reason.IsSet())
        tLastFailure = std::move(reason);
}

void NoteSystemFailure(int errorNumber)
{
    if (errorNumber != 0)
        NoteFailure({FailureKind::System, std::strerror(errorNumber)});
}

void NoteSystemFailure() { NoteSystemFailure(errno); }

SeparateFailureRecord::SeparateFailureRecord() : kept_(tLastFailure) { ClearLastFailure(); }

SeparateFailureRecord::~SeparateFailureRecord() { tLastFailure = std::move(kept_); }

FailureReason SeparateFailureRecord::Taken() const
{
    return tLastFailure.IsSet() ? tLastFailure : FailureReason{FailureKind::System, "internal error"};
}

void ThrowFormat(std::string text) { throw Failure({FailureKind::Format, std::move(text)}); }

void ThrowSystem(int errorNumber)
{
    throw Failure({FailureKind::System, errorNumber ? std::strerror(errorNumber) : "unknown system error"});
}

void ThrowSystem() { ThrowSystem(errno); }

void ThrowCancelled() { throw Failure({FailureKind::Cancelled, "cancelled"}); }

}  // namespace brindle

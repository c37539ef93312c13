// Why an operation failed, carried from where the fault was found to whoever reports it.
//
// Operations keep their int results (1 success, 0 failure). Inside one, a failed check throws a
// Failure; the operation's boundary (Guarded) turns it into 0 and keeps the reason as the calling
// thread's last failure, the way errno works: read LastFailure() on the same thread right after a 0.
// The first reason noted since the last ClearLastFailure() wins, because the deepest code knows the
// most ("No space left on device" beats "cannot write the WAV data").
//
// The editor shows its own fixed messages and may log these; brindle-batch prints them.
#pragma once

#include <exception>
#include <string>

namespace brindle {

enum class FailureKind {
    None,       // no failure noted
    System,     // a system call failed; text is the system's reason (strerror)
    Format,     // the file's content is unusable; text says how ("not a WAV file (no RIFF header)")
    Cancelled,  // the user cancelled
};

struct FailureReason {
    FailureKind kind = FailureKind::None;
    std::string text;

    bool IsSet() const { return kind != FailureKind::None; }
};

// The exception a failed check throws inside an operation. It never crosses an operation boundary.
class Failure : public std::exception {
public:
    Failure() = default;  // a failed check whose reason was noted earlier, or is not known
    explicit Failure(FailureReason reason) : reason_(std::move(reason)) {}
    const FailureReason& Reason() const { return reason_; }
    const char* what() const noexcept override { return reason_.text.empty() ? "failure" : reason_.text.c_str(); }

private:
    FailureReason reason_;
};

// The calling thread's first failure noted since ClearLastFailure().
const FailureReason& LastFailure();
void ClearLastFailure();
// Notes reason unless an earlier one is already noted.
void NoteFailure(FailureReason reason);
// Notes errorNumber's system text (errno by default); a 0 notes nothing.
void NoteSystemFailure(int errorNumber);
void NoteSystemFailure();

[[noreturn]] void ThrowFormat(std::string text);
// Throws with the system text of errorNumber (errno by default).
[[noreturn]] void ThrowSystem(int errorNumber);
[[noreturn]] void ThrowSystem();
[[noreturn]] void ThrowCancelled();

// Sets this thread's record aside for the scope's life and puts it back afterwards, for work done on
// behalf of another thread (a part of a job run on a crew's thread or on the caller's): the part's
// own reason is taken with Taken() and handed to the thread that reports it.
class SeparateFailureRecord {
public:
    SeparateFailureRecord();
    ~SeparateFailureRecord();
    SeparateFailureRecord(const SeparateFailureRecord&) = delete;
    SeparateFailureRecord& operator=(const SeparateFailureRecord&) = delete;
    // The first reason noted in the scope so far; "internal error" when none was.
    FailureReason Taken() const;

private:
    FailureReason kept_;
};

// Runs body (returning int or bool); its result, or 0 when it threw. A Failure's reason is noted;
// anything else thrown becomes "internal error: ...". Never throws.
template <class Body>
int Guarded(Body&& body) noexcept
{
    try {
        return body() ? 1 : 0;
    } catch (const Failure& failure) {
        if (failure.Reason().IsSet())
            NoteFailure(failure.Reason());
    } catch (const std::exception& error) {
        NoteFailure({FailureKind::System, std::string("internal error: ") + error.what()});
    } catch (...) {
        NoteFailure({FailureKind::System, "internal error"});
    }
    return 0;
}

}  // namespace brindle

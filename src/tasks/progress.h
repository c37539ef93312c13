// Progress and cancellation for long operations.
//
// Every long operation of the core (copying sounds, reading and writing files, decoding and encoding)
// takes an optional Progress*. The work reports how far it has come in units of an arbitrary range
// (in the editor, the progress bar's width in pixels) and polls IsCancelled() between blocks.
//
// Threads: the worker writes position and range; another thread may call Cancel() or read the flags.
// The flags are atomics for that reason; range and position belong to the worker.
#pragma once

#include <atomic>
#include <cstdint>

namespace brindle {

class SubProgress;

class Progress {
public:
    // position is clamped to range.
    explicit Progress(uint32_t range = 0, uint32_t position = 0);
    virtual ~Progress() = default;

    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    virtual bool IsCancelled() const;
    // Sets the cancelled flag once and runs OnCancelled(); later calls do nothing.
    virtual void Cancel();
    virtual bool IsFailed() const;
    // Records the failure once and runs OnFailed(); the failing operation still returns 0 itself.
    virtual void Fail();

    // Moves the position by delta, clamped to 0..range; notifies only on a real change.
    void Advance(int32_t delta);
    // Moves the position to the range.
    void Complete();
    // Changes the range; the position is clamped, and watchers hear of it when the bar would move.
    void SetRange(uint32_t range);
    // p in percent; below 0 or NaN counts as 0, above 100 as 100.
    void SetPercent(float p);
    // 0 when the range is 0, else position / range in percent, at most 100.
    double Percent() const;

    uint32_t Range() const { return range_; }
    uint32_t Position() const { return position_; }

protected:
    // Hooks for watchers; all do nothing here. OnPositionChanged runs on the worker's thread.
    virtual void OnPositionChanged() {}
    virtual void OnCancelled() {}
    virtual void OnFailed() {}

    bool SetCancelledFlag() { return !cancelled_.exchange(true); }
    bool SetFailedFlag() { return !failed_.exchange(true); }
    bool OwnCancelled() const { return cancelled_.load(std::memory_order_relaxed); }
    bool OwnFailed() const { return failed_.load(std::memory_order_relaxed); }

private:
    friend class SubProgress;  // moves its parent's position directly

    uint32_t range_;
    uint32_t position_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> failed_{false};
};

// True when there is a progress and it was cancelled; operations poll this between blocks.
inline bool IsCancelled(const Progress* progress) { return progress && progress->IsCancelled(); }

// Completes the progress on success, fails it on failure (a null progress is fine); returns result.
int FinishProgress(Progress* progress, int result);

// A child covering a share of its parent's remaining range, so that a two-stage operation can hand
// each stage its own Progress. Cancellation and failure travel up to the parent.
class SubProgress final : public Progress {
public:
    // span is cut to what the parent has left; an ownRange of 0 makes the child's range equal to that span.
    SubProgress(Progress& parent, uint32_t requestedSpan, uint32_t ownRange = 0);

    bool IsCancelled() const override;
    void Cancel() override;
    bool IsFailed() const override;
    void Fail() override;

    uint32_t Span() const { return span_; }

protected:
    void OnPositionChanged() override;

private:
    Progress& parent_;
    uint32_t span_;
    uint32_t base_;
};

}  // namespace brindle

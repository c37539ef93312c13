#include "tasks/progress.h"

#include <algorithm>
#include <cmath>

namespace brindle {

Progress::Progress(uint32_t range, uint32_t position) : range_(range), position_(std::min(position, range)) {}

bool Progress::IsCancelled() const { return OwnCancelled(); }

void Progress::Cancel()
{
    if (SetCancelledFlag())
        OnCancelled();
}

bool Progress::IsFailed() const { return OwnFailed(); }

void Progress::Fail()
{
    if (SetFailedFlag())
        OnFailed();
}

void Progress::Advance(int32_t delta)
{
    const int64_t wanted = int64_t(position_) + delta;
    const uint32_t next = uint32_t(std::clamp<int64_t>(wanted, 0, range_));
    if (next != position_) {
        position_ = next;
        OnPositionChanged();
    }
}

void Progress::Complete()
{
    if (position_ != range_) {
        position_ = range_;
        OnPositionChanged();
    }
}

void Progress::SetRange(uint32_t range)
{
    if (range == range_)
        return;
    range_ = range;
    if (position_ > range) {
        position_ = range;
        OnPositionChanged();
    } else if (position_ > 0 && position_ < range) {
        OnPositionChanged();
    }
}

void Progress::SetPercent(float p)
{
    if (std::isnan(p) || p < 0.0f)
        p = 0.0f;
    else if (p > 100.0f)
        p = 100.0f;
    // Single precision throughout: then 100 % of any pixel width lands exactly on the range even
    // though 0.01f is slightly below 0.01.
    const float scaled = float(range_) * p * 0.01f;
    const uint32_t next = scaled >= float(range_) ? range_ : uint32_t(scaled);
    if (next != position_) {
        position_ = next;
        OnPositionChanged();
    }
}

double Progress::Percent() const
{
    if (range_ == 0)
        return 0.0;
    return std::min(100.0, double(position_) * 100.0 / double(range_));
}

int FinishProgress(Progress* progress, int result)
{
    if (progress) {
        if (result)
            progress->Complete();
        else
            progress->Fail();
    }
    return result;
}

SubProgress::SubProgress(Progress& parent, uint32_t requestedSpan, uint32_t ownRange)
    : Progress(0, 0),
      parent_(parent),
      span_(std::min(requestedSpan, parent.Range() - parent.Position())),
      base_(parent.Position())
{
    SetRange(ownRange == 0 ? span_ : ownRange);
}

bool SubProgress::IsCancelled() const { return OwnCancelled() || parent_.IsCancelled(); }

void SubProgress::Cancel()
{
    SetCancelledFlag();
    parent_.Cancel();
}

bool SubProgress::IsFailed() const { return OwnFailed() || parent_.IsFailed(); }

void SubProgress::Fail()
{
    SetFailedFlag();
    parent_.Fail();
}

void SubProgress::OnPositionChanged()
{
    const uint32_t range = Range();
    if (range == 0)
        return;
    // 64-bit product: with ranges that are not pixel counts the 32-bit one would wrap and the bar
    // would jump backwards. The quotient never exceeds span_, so it fits again.
    uint32_t target = Position() == range ? base_ + span_
                                          : base_ + uint32_t(uint64_t(span_) * Position() / range);
    target = std::min(target, parent_.range_);
    if (target != parent_.position_) {
        parent_.position_ = target;
        parent_.OnPositionChanged();
    }
}

}  // namespace brindle

#include "document/edit_history.h"

#include <algorithm>

namespace brindle {

void EditHistory::Clear()
{
    steps_.clear();
    current_ = 0;
    saved_ = 0;
}

void EditHistory::Restore(std::vector<Step> steps, size_t position, std::optional<size_t> saved)
{
    steps_ = std::move(steps);
    current_ = std::min(position, steps_.size());
    saved_ = saved;
}

void EditHistory::Push(Step step)
{
    steps_.resize(current_);
    if (saved_ && *saved_ > current_)
        saved_.reset();  // the saved state was only reachable by redoing
    steps_.push_back(std::move(step));
    ++current_;
}

void EditHistory::SetMarksAfter(const EditMarks& marks)
{
    if (current_ > 0)
        steps_[current_ - 1].marksAfter = marks;
}

bool EditHistory::DropOldest()
{
    if (current_ == 0)
        return false;
    steps_.erase(steps_.begin());
    --current_;
    if (saved_)
        saved_ = *saved_ == 0 ? std::nullopt : std::optional<size_t>(*saved_ - 1);
    return true;
}

}  // namespace brindle

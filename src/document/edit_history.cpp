#include "document/edit_history.h"

#include <algorithm>
#include <unordered_map>

#include "storage/channel_store.h"

namespace brindle {

namespace {

// Calls visit(store) for the store of every piece of state's channels; a store may come more than
// once. The one walk over a state's pieces that making room needs.
template <class Visit>
void ForEachStore(const SoundBuffer& state, Visit&& visit)
{
    for (uint16_t c = 0; c < state.channels.ChannelCount(); ++c)
        state.channels.Channel(c).ForEachPiece([&](const Piece& piece, uint32_t) { visit(*piece.store); });
}

}  // namespace

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

bool EditHistory::DropNewest()
{
    if (current_ == steps_.size())
        return false;
    steps_.pop_back();
    if (saved_ && *saved_ > steps_.size())
        saved_.reset();  // the saved state was the one the dropped step redid
    return true;
}

std::optional<EditHistory::Drops> EditHistory::PlanDrops(const SoundBuffer& sound, uint64_t bytes) const
{
    // Per store: how many redo drops and how many undo drops leave no step using it. Steps can only go
    // from the two ends, so that is one more than the farthest step from its end that uses it.
    struct Use {
        uint64_t bytes = 0;
        size_t redo = 0;
        size_t undo = 0;
        bool kept = false;  // the sound's own: never freed
    };
    std::unordered_map<const SampleStore*, Use> uses;
    ForEachStore(sound, [&](const SampleStore& store) { uses[&store].kept = true; });
    const size_t count = steps_.size();
    for (size_t i = 0; i < count; ++i) {
        for (const SoundBuffer* state : {steps_[i].before.get(), steps_[i].after.get()}) {
            ForEachStore(*state, [&](const SampleStore& store) {
                Use& use = uses[&store];
                use.bytes = store.DiskBytes();
                if (i < current_)
                    use.undo = std::max(use.undo, i + 1);
                else
                    use.redo = std::max(use.redo, count - i);
            });
        }
    }
    // freed[k]: the bytes that the k-th drop of one kind adds; the smallest k whose sum reaches bytes.
    std::vector<uint64_t> freed;
    auto fewest = [&](size_t most) -> std::optional<size_t> {
        uint64_t sum = 0;
        for (size_t k = 0; k <= most; ++k) {
            sum += freed[k];
            if (sum >= bytes)
                return k;
        }
        return std::nullopt;
    };
    // The redo steps alone, when they do it.
    freed.assign(count - current_ + 1, 0);
    for (const auto& [store, use] : uses)
        if (!use.kept && use.undo == 0)
            freed[use.redo] += use.bytes;
    if (const auto redo = fewest(count - current_))
        return Drops{*redo, 0};
    // Else the oldest undo steps with every redo step...
    freed.assign(current_ + 1, 0);
    for (const auto& [store, use] : uses)
        if (!use.kept)
            freed[use.undo] += use.bytes;
    const auto undo = fewest(current_);
    if (!undo)
        return std::nullopt;
    // ...but only as many redo steps as free a store the undo steps do not keep.
    Drops drops{0, *undo};
    for (const auto& [store, use] : uses)
        if (!use.kept && use.bytes > 0 && use.undo <= *undo)
            drops.redo = std::max(drops.redo, use.redo);
    return drops;
}

}  // namespace brindle

// The undo history of the open sound: every edit as the sound before and after it, in order.
//
// A state is a SoundBuffer whose channels are piece lists over shared, unchanging stores: keeping one
// costs a few hundred bytes, and neighbouring steps share the state between them. A store is freed
// with its disk space when the last state that uses it goes, so dropping steps from either end (the
// redo steps first: the next edit discards them anyway) is how the history gives disk back. Qt-free;
// owned by the Document, on the thread that owns it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "storage/sound_buffer.h"

namespace brindle {

enum class EditKind : uint8_t {
    DeleteSelected,
    DeleteUnselected,
    ChangeVolume,
    IncreaseVolume,
    FadeIn,
    FadeOut,
    ToMono,
    ToStereo,
    // The editor's clip in place of [start, end), or inserted at start when start == end.
    Paste,
    // frames frames of silence, the same way.
    InsertSilence,
    // DeleteSelected, once the selection went to the clipboard.
    Cut,
};

// One edit as asked for: start, end are frames, -1 -1 the whole sound; percent is ChangeVolume's,
// frames InsertSilence's.
struct EditRequest {
    EditKind kind = EditKind::FadeIn;
    int64_t start = -1;
    int64_t end = -1;
    int32_t percent = 100;
    uint32_t frames = 0;

    bool operator==(const EditRequest&) const = default;
};

// Where the window's selection and play position stood, restored with the sound. -1 -1: no selection.
struct EditMarks {
    int64_t selectionStart = -1;
    int64_t selectionEnd = -1;
    int64_t position = 0;
};

using SoundState = std::shared_ptr<const SoundBuffer>;

class EditHistory {
public:
    struct Step {
        EditRequest request;
        SoundState before;
        SoundState after;
        EditMarks marksBefore;
        EditMarks marksAfter;
    };

    // No steps; the state as it is counts as the saved one.
    void Clear();
    // The steps of a history read back after a crash, position of them applied, saved at the position
    // saved (none: the state on disk is not among them).
    void Restore(std::vector<Step> steps, size_t position, std::optional<size_t> saved);
    // Adds a step after the current one; the steps that could be redone are dropped.
    void Push(Step step);
    // The marks after the newest applied step (the window knows them only once the edit is shown).
    void SetMarksAfter(const EditMarks& marks);

    bool CanUndo() const { return current_ > 0; }
    bool CanRedo() const { return current_ < steps_.size(); }
    // The step Undo or Redo would apply; call only when CanUndo or CanRedo.
    const Step& UndoStep() const { return steps_[current_ - 1]; }
    const Step& RedoStep() const { return steps_[current_]; }
    // Moves back or forward one step (the caller applies the step's state).
    void StepBack() { --current_; }
    void StepForward() { ++current_; }

    // The state as it is now is the one on disk.
    void MarkSaved() { saved_ = current_; }
    bool AtSaved() const { return saved_ == current_; }
    bool SavedAt(size_t position) const { return saved_ == position; }

    // Drops the oldest step, and with it every state only it held. false when no step lies before the
    // current state.
    bool DropOldest();
    // Drops the newest step that could be redone, and with it every state only it held. false when
    // there is none.
    bool DropNewest();

    // How many steps to drop, the newest redo steps (DropNewest) and the oldest undo steps
    // (DropOldest), so that at least `bytes` of the stores' disk come free while `sound`, the sound as
    // it is, keeps its own. Redo steps go first and undo steps only when they cannot do it; as few of
    // each as will do, so a step whose drop would free nothing is dropped only on the way to one that
    // does. A store counts once, and only when no state that stays uses it. None when even dropping
    // every step would not free enough. Walks every state's pieces: call it only when space is short.
    struct Drops {
        size_t redo = 0;
        size_t undo = 0;
    };
    std::optional<Drops> PlanDrops(const SoundBuffer& sound, uint64_t bytes) const;
    size_t StepCount() const { return steps_.size(); }
    // How many steps are applied, and step i of them (from the oldest kept).
    size_t Position() const { return current_; }
    const Step& StepAt(size_t i) const { return steps_[i]; }

private:
    std::vector<Step> steps_;
    size_t current_ = 0;  // steps [0, current_) are applied
    // The step count at which the sound was last saved; none once that state has been dropped.
    std::optional<size_t> saved_ = 0;
};

}  // namespace brindle

// The playback engine's state as the window sees it: whether the device is open or paused, the play
// position and the selection. Until the player lands this class holds only that state; the player
// grows it in place (device, blocks, cursor timer) without changing what the window calls.
//
// Frames are signed 32-bit indices; -1 means unset. UI thread only. No Qt.
#pragma once

#include <cstdint>

namespace brindle {

class PlaybackEngine {
public:
    // A selection exists when 0 <= selectionStart < selectionEnd; anything else selects nothing, and
    // playing and every edit then apply to the whole sound.
    bool HasSelection() const { return selectionStart >= 0 && selectionStart < selectionEnd; }
    // HasSelection and not the whole sound of frameCount frames.
    bool IsPartialSelection(uint32_t frameCount) const;

    // Device group zeroed, position 0, no selection: after an open and after a deleting edit.
    void Clear();
    // The position, clamped to 0..frameCount.
    void SetPosition(int64_t frame, uint32_t frameCount);
    int32_t GetPosition() const { return position_; }

    // Set start and Set end: the new edge is the position clamped to the sound; when both edges are
    // set and the end lies before the start they are swapped.
    void SetSelectionStart(int64_t frame, uint32_t frameCount);
    void SetSelectionEnd(int64_t frame, uint32_t frameCount);
    void SelectAll(uint32_t frameCount);
    void Deselect();

    // Without a device these only keep the flags consistent: Play opens nothing (so it reports 0),
    // Pause needs an open device, Stop asks an open device to stop.
    int Play();
    int Pause();
    int Stop();

    bool isOpen = false;
    bool isPaused = false;
    bool isStopping = false;
    bool endReached = false;
    int32_t selectionStart = -1;
    int32_t selectionEnd = -1;

private:
    int32_t position_ = 0;
};

}  // namespace brindle

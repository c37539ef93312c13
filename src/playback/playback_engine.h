// The playback engine: streams the open sound, or its selection, to the wave-output device as 16-bit
// PCM with two fixed blocks in flight, keeps the play position and holds the selection that playing,
// seeking and the edits all consult.
//
// Frames are signed 32-bit indices; -1 means unset. Everything here runs on the UI thread: the device
// reports back through the sink the window gives it (HandleDeviceEvent), and the window's timer moves
// the play cursor. The engine counts as open from the moment the device accepts the open (its blocks
// go out at once), and as stopping from Stop until "closed": a stopping engine never reads the sound
// again, so a load, an edit or a save may follow even before a slow device has closed. No Qt.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "playback/wave_out_device.h"

namespace brindle {

class ChannelSet;

class PlaybackEngine {
public:
    // Samples in one block: 131,072 stereo or 262,144 mono frames (about 3 or 6 s at 44.1 kHz).
    static constexpr uint32_t kBlockSamples = 262144;
    // The play cursor never ticks faster than this.
    static constexpr int kMinCursorPeriodMs = 50;

    // What the engine asks of the window it plays for. Any hook may be left empty.
    struct Hooks {
        std::function<int()> waveformWidth;            // client width of the waveform, in pixels
        std::function<void(int)> startCursorTimer;     // (re)start the cursor timer with this period (ms)
        std::function<void()> stopCursorTimer;
        std::function<void()> repaintWaveform;
    };

    // Allocates both blocks; nothing is allocated after this while playing.
    PlaybackEngine();
    ~PlaybackEngine();
    PlaybackEngine(const PlaybackEngine&) = delete;
    PlaybackEngine& operator=(const PlaybackEngine&) = delete;

    // The device and the sink its notifications go to (both outlive the engine's use of them, and may
    // be null: then nothing plays). Call while closed.
    void AttachDevice(WaveOutDevice* device, WaveOutEventSink* sink);
    // The sound that plays: called whenever the engine needs it, so it follows whichever buffer is
    // active. Returns null, or a set that is not IsValid, when there is no sound.
    void SetSoundSource(std::function<const ChannelSet*()> source) { soundSource_ = std::move(source); }
    void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }

    // A selection exists when 0 <= selectionStart < selectionEnd; anything else selects nothing, and
    // playing and every edit then apply to the whole sound.
    bool HasSelection() const { return selectionStart >= 0 && selectionStart < selectionEnd; }
    // HasSelection and not the whole sound of frameCount frames.
    bool IsPartialSelection(uint32_t frameCount) const;

    // Device group zeroed, position 0, no selection: after an open and after a deleting edit. The
    // window stops playback first; a device still closing after that keeps its group until "closed".
    void Clear();

    // The play position: while open, the device's position plus the frame the run began at.
    int32_t GetPosition() const;
    // GetPosition over the frame count, 0..1; 0 without a sound.
    double PositionFraction() const;
    // Begins playing at frame, or with -1 at the current position (see the .cpp). Returns success.
    int StartAt(int64_t frame);
    // Moves the position to frame clamped to 0..frameCount; while open, playing goes on from there.
    int SetPosition(int64_t frame, uint32_t frameCount);
    int SetPosition(int64_t frame);
    // Moves to the fraction x (0..1) of the sound.
    void SeekFraction(double x);

    // Set start and Set end: the new edge is the frame clamped to the sound; when both edges are set
    // and the end lies before the start they are swapped.
    // With a grid set, the edge first moves to the nearest frame x with x % step == phase, or to the
    // start or the end of the sound when one of those is nearer.
    void SetSelectionStart(int64_t frame, uint32_t frameCount);
    void SetSelectionEnd(int64_t frame, uint32_t frameCount);
    // step 0: no grid.
    void SetSelectionGrid(uint32_t step, uint32_t phase)
    {
        gridStep_ = step;
        gridPhase_ = step ? phase % step : 0;
    }
    void SelectAll(uint32_t frameCount);
    void Deselect();
    // Where the grid puts frame (frame itself without a grid): the rule every edge goes through, so the
    // window can say how far an edge moved.
    int64_t Snapped(int64_t frame, uint32_t frameCount) const;

    // The commands. Play restarts from where this run began when already playing, resumes when paused.
    int Play();
    int Pause();
    int Stop();

    // The device's notifications, as the sink delivers them.
    void HandleDeviceEvent(const WaveOutEvent& event);
    void OnBlockDone(WaveBlock* block);
    void OnDeviceClose();

    // The cursor period for the present sound and a waveform of width pixels: the time the cursor
    // takes to move one pixel, never below kMinCursorPeriodMs; 0 when no timer should run.
    int CursorPeriodMs(int width) const;
    // Starts the cursor timer with the period for the waveform's present width (none when it has no width).
    void RestartCursorTimer();
    bool IsCursorTimerActive() const { return cursorTimerActive_; }

    bool isOpen = false;
    bool isPaused = false;
    bool isStopping = false;
    bool endReached = false;
    int32_t playBase = 0;   // where the present device run began: the position's origin
    int32_t nextFrame = 0;  // the first frame not yet queued
    int32_t selectionStart = -1;
    int32_t selectionEnd = -1;
    // Plays the selection (the whole sound without one) over and over, without a gap at the seam. A
    // change while playing takes effect from the next block: the window restarts the run instead.
    bool loop = false;

private:
    uint32_t gridStep_ = 0;
    uint32_t gridPhase_ = 0;

    struct PlayBlock {
        std::unique_ptr<int16_t[]> samples;
        uint32_t capacity = kBlockSamples;
        WaveBlock header;
        bool queued = false;  // written, and its "done" not yet handled
    };

    const ChannelSet* Sound() const;  // null unless there is a valid sound
    uint32_t FrameCount() const;
    int FillBlock(PlayBlock& block);
    // Fills the whole block from [first, end), going back to first at end.
    int FillLooped(PlayBlock& block, const ChannelSet& sound, int64_t first, int64_t end);
    // Writes samples of block to the device and moves nextFrame on by advance frames.
    int QueueBlock(PlayBlock& block, uint32_t samples, uint32_t advance);
    // The range looping plays; false when not looping or the range is empty.
    bool LoopRange(int64_t& first, int64_t& end) const;
    // Queues both blocks at the start of a run; closes the device when there is nothing to play.
    void FillBoth();
    int OpenDevice(const ChannelSet& sound);
    void ClearDeviceGroup();
    void StopCursorTimer();

    WaveOutDevice* device_ = nullptr;
    WaveOutEventSink* sink_ = nullptr;
    std::function<const ChannelSet*()> soundSource_;
    Hooks hooks_;
    PlayBlock blockA_;
    PlayBlock blockB_;
    bool cursorTimerActive_ = false;
};

}  // namespace brindle

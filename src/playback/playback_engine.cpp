// Playback: streaming the sound to the audio device behind a small device interface.
#include "playback/playback_engine.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cmath>
#include <utility>

#include "storage/channel_set.h"

namespace brindle {
namespace {

int32_t ClampFrame(int64_t frame, uint32_t frameCount)
{
    return int32_t(std::clamp<int64_t>(frame, 0, std::min<int64_t>(frameCount, INT32_MAX)));
}

}  // namespace

PlaybackEngine::PlaybackEngine()
{
    for (PlayBlock* block : {&blockA_, &blockB_})
        block->samples = std::make_unique<int16_t[]>(kBlockSamples);
}

PlaybackEngine::~PlaybackEngine() = default;

void PlaybackEngine::AttachDevice(WaveOutDevice* device, WaveOutEventSink* sink)
{
    device_ = device;
    sink_ = sink;
}

const ChannelSet* PlaybackEngine::Sound() const
{
    const ChannelSet* sound = soundSource_ ? soundSource_() : nullptr;
    return sound && sound->IsValid() ? sound : nullptr;
}

uint32_t PlaybackEngine::FrameCount() const
{
    const ChannelSet* sound = Sound();
    return sound ? sound->FrameCount() : 0;
}

bool PlaybackEngine::IsPartialSelection(uint32_t frameCount) const
{
    return HasSelection() && !(selectionStart == 0 && int64_t(selectionEnd) == int64_t(frameCount));
}

void PlaybackEngine::ClearDeviceGroup()
{
    isOpen = isPaused = isStopping = endReached = false;
    blockA_.queued = blockB_.queued = false;
}

void PlaybackEngine::Clear()
{
    // A device still closing after a stop keeps its group until "closed" arrives: Play stays refused
    // and nothing is refilled meanwhile.
    if (!isOpen || !isStopping)
        ClearDeviceGroup();
    playBase = nextFrame = 0;
    selectionStart = selectionEnd = -1;
}

int32_t PlaybackEngine::GetPosition() const
{
    uint32_t played = 0;
    if (!isOpen || !device_ || !device_->GetPosition(played))
        return playBase;
    int64_t position = int64_t(uint32_t(playBase)) + played;
    // Looping, the device counts on past the range's end while the sound went back to its start.
    int64_t first = 0;
    int64_t end = 0;
    if (LoopRange(first, end) && playBase >= first && playBase < end && position >= end)
        position = first + (position - first) % (end - first);
    return int32_t(position);
}

double PlaybackEngine::PositionFraction() const
{
    const uint32_t frames = FrameCount();
    if (frames == 0)
        return 0.0;
    // Compared unsigned, as the position always was: a wrapped position reads as the end.
    return double(std::min(frames, uint32_t(GetPosition()))) / double(frames);
}

int PlaybackEngine::StartAt(int64_t frame)
{
    const uint32_t frames = FrameCount();
    if (frame >= 0) {
        if (frames == 0 || frame > int64_t(frames) || frame > INT32_MAX)
            return 0;
        playBase = int32_t(frame);
    } else if (int64_t(playBase) >= int64_t(frames)) {
        playBase = 0;
    }
    if (HasSelection() && (playBase < selectionStart || playBase >= selectionEnd))
        playBase = selectionStart;
    nextFrame = playBase;

    if (isOpen) {
        // The blocks come back through OnBlockDone and are refilled from nextFrame; the device
        // position restarts at 0, so the position goes on from the new playBase. A run whose last
        // block was already queued plays on from the new frame instead of ending.
        if (!isStopping)
            endReached = false;
        if (!device_ || !device_->Reset())
            return 0;
        // Both blocks had come back and the device was playing out its last frames: the reset
        // abandoned that close, so nothing will come back to be refilled. Start the run again here.
        if (!isStopping && !blockA_.queued && !blockB_.queued)
            FillBoth();
        return 1;
    }
    const ChannelSet* sound = Sound();
    return sound ? OpenDevice(*sound) : 0;
}

int PlaybackEngine::OpenDevice(const ChannelSet& sound)
{
    if (!device_ || !sink_)
        return 0;
    PcmFormat16 format;
    format.channels = sound.ChannelCount();
    format.sampleRate = sound.SampleRate();
    if (!device_->Open(format, *sink_))
        return 0;
    // Open from the moment the device took the request, not from when its "opened" arrives: commands
    // queued behind Play (a save, an edit) must already find the sound playing.
    isOpen = true;
    isPaused = isStopping = endReached = false;
    RestartCursorTimer();
    FillBoth();
    return 1;
}

void PlaybackEngine::FillBoth()
{
    if (FillBlock(blockA_)) {
        FillBlock(blockB_);
        return;
    }
    // Nothing to play (the position is at the end, or the sound cannot be read): no block will ever
    // come back to close the device, so close it now rather than sit "playing" in silence.
    if (device_)
        device_->Close();
}

int PlaybackEngine::SetPosition(int64_t frame) { return SetPosition(frame, FrameCount()); }

int PlaybackEngine::SetPosition(int64_t frame, uint32_t frameCount)
{
    const int32_t clamped = ClampFrame(frame, frameCount);
    if (isOpen)
        return StartAt(clamped);
    playBase = nextFrame = clamped;
    return 1;
}

void PlaybackEngine::SeekFraction(double x)
{
    const uint32_t frames = FrameCount();
    if (frames == 0)
        return;
    const int64_t frame = int64_t(double(frames) * std::clamp(x, 0.0, 1.0) + 0.5);
    if (isOpen)
        StartAt(frame);
    else
        SetPosition(frame, frames);
}

int64_t PlaybackEngine::Snapped(int64_t frame, uint32_t frameCount) const
{
    if (gridStep_ == 0)
        return frame;
    const int64_t step = gridStep_;
    const int64_t below = frame - (((frame - gridPhase_) % step) + step) % step;
    int64_t best = 0;
    for (int64_t candidate : {below, below + step, int64_t(frameCount)}) {
        if (candidate >= 0 && candidate <= int64_t(frameCount) &&
            std::llabs(candidate - frame) < std::llabs(best - frame))
            best = candidate;
    }
    return best;
}

void PlaybackEngine::SetSelectionStart(int64_t frame, uint32_t frameCount)
{
    selectionStart = ClampFrame(Snapped(frame, frameCount), frameCount);
    if (selectionEnd >= 0 && selectionEnd < selectionStart)
        std::swap(selectionStart, selectionEnd);
}

void PlaybackEngine::SetSelectionEnd(int64_t frame, uint32_t frameCount)
{
    selectionEnd = ClampFrame(Snapped(frame, frameCount), frameCount);
    if (selectionStart >= 0 && selectionEnd < selectionStart)
        std::swap(selectionStart, selectionEnd);
}

void PlaybackEngine::SelectAll(uint32_t frameCount)
{
    selectionStart = 0;
    selectionEnd = ClampFrame(frameCount, frameCount);
}

void PlaybackEngine::Deselect() { selectionStart = selectionEnd = -1; }

int PlaybackEngine::Play()
{
    if (!isPaused)
        return StartAt(-1);
    if (!isOpen || !device_)
        return 0;
    const int result = device_->Restart();
    isPaused = false;
    return result;
}

int PlaybackEngine::Pause()
{
    if (!isOpen || isPaused || !device_)
        return 0;
    const int result = device_->Pause();
    isPaused = true;
    return result;
}

int PlaybackEngine::Stop()
{
    if (!isOpen || isStopping || !device_)
        return 0;
    isStopping = true;
    if (!device_->Reset())
        return 0;
    // No block to come back and close the device (it was playing out its last frames): close it now.
    if (!blockA_.queued && !blockB_.queued)
        device_->Close();
    return 1;
}

void PlaybackEngine::HandleDeviceEvent(const WaveOutEvent& event)
{
    switch (event.kind) {
    case WaveOutEventKind::Opened: break;  // the run began when the open was requested
    case WaveOutEventKind::BlockDone: OnBlockDone(event.block); break;
    case WaveOutEventKind::Closed: OnDeviceClose(); break;
    }
}

int PlaybackEngine::FillBlock(PlayBlock& block)
{
    const ChannelSet* sound = Sound();
    if (!sound || !device_)
        return 0;
    int64_t first = 0;
    int64_t end = 0;
    if (LoopRange(first, end))
        return FillLooped(block, *sound, first, end);
    if (HasSelection() && nextFrame >= selectionEnd)
        return 0;
    if (nextFrame < 0)
        return 0;
    uint32_t samples = sound->ReadInterleaved16(block.samples.get(), block.capacity, uint32_t(nextFrame));
    if (samples == 0)
        return 0;
    const uint32_t channels = sound->ChannelCount();
    const uint32_t frames = samples / channels;
    if (HasSelection() && nextFrame < selectionEnd && int64_t(nextFrame) + frames > selectionEnd) {
        samples = std::min(samples, uint32_t(selectionEnd - nextFrame) * channels);
        endReached = true;
    }
    return QueueBlock(block, samples, frames);
}

int PlaybackEngine::FillLooped(PlayBlock& block, const ChannelSet& sound, int64_t first, int64_t end)
{
    // The block is filled whole, the range over and over if it is short: the device never waits
    // for a refill at the seam, however short the range.
    const uint32_t channels = sound.ChannelCount();
    const uint32_t capacity = block.capacity / channels * channels;
    uint32_t samples = 0;
    if (nextFrame < first || nextFrame >= end)
        nextFrame = int32_t(first);
    while (samples < capacity) {
        const uint32_t room = uint32_t(std::min<int64_t>(capacity - samples, (end - nextFrame) * channels));
        const uint32_t read = sound.ReadInterleaved16(block.samples.get() + samples, room, uint32_t(nextFrame));
        if (read == 0)
            return samples > 0 ? QueueBlock(block, samples, 0) : 0;
        samples += read;
        nextFrame = int32_t(nextFrame + read / channels);
        if (nextFrame >= end)
            nextFrame = int32_t(first);
    }
    return QueueBlock(block, samples, 0);
}

int PlaybackEngine::QueueBlock(PlayBlock& block, uint32_t samples, uint32_t advance)
{
    block.header = WaveBlock{};
    block.header.data = block.samples.get();
    block.header.byteCount = samples * 2;
    if (!device_->Write(block.header))
        return 0;
    block.queued = true;
    nextFrame = int32_t(int64_t(nextFrame) + advance);
    return 1;
}

bool PlaybackEngine::LoopRange(int64_t& first, int64_t& end) const
{
    if (!loop)
        return false;
    first = HasSelection() ? selectionStart : 0;
    end = HasSelection() ? selectionEnd : int64_t(FrameCount());
    return end > first;
}

void PlaybackEngine::OnBlockDone(WaveBlock* header)
{
    PlayBlock* block = header == &blockA_.header ? &blockA_ : header == &blockB_.header ? &blockB_ : nullptr;
    if (!block || !isOpen)
        return;
    block->queued = false;
    PlayBlock& other = block == &blockA_ ? blockB_ : blockA_;
    if (!isStopping && !endReached) {
        // A seek while paused stays paused.
        if (isPaused && device_)
            device_->Pause();
        if (FillBlock(*block)) {
            // After a seek that found only one block queued (a short selection), both go out again.
            if (!other.queued && !endReached)
                FillBlock(other);
            return;
        }
    }
    // Fails while the other block is still queued; its own return tries again, so the device closes
    // once the last block has played.
    if (device_)
        device_->Close();
}

void PlaybackEngine::OnDeviceClose()
{
    const bool ended = endReached;
    if (isStopping) {
        playBase = HasSelection() ? selectionStart : 0;
        nextFrame = 0;
    }
    ClearDeviceGroup();
    StopCursorTimer();
    // The whole file played to its end, or a stop: the cursor goes home. A selection played to its
    // end leaves it where that run began.
    if (!ended)
        SetPosition(0);
    if (hooks_.repaintWaveform)
        hooks_.repaintWaveform();
}

int PlaybackEngine::CursorPeriodMs(int width) const
{
    const ChannelSet* sound = Sound();
    if (!sound || width <= 0)
        return 0;
    const uint64_t perPixel = uint64_t(sound->FrameCount()) * 1000u / (uint64_t(sound->SampleRate()) * uint64_t(width));
    return int(std::min<uint64_t>(std::max<uint64_t>(perPixel, kMinCursorPeriodMs), INT_MAX));
}

void PlaybackEngine::RestartCursorTimer()
{
    const int period = CursorPeriodMs(hooks_.waveformWidth ? hooks_.waveformWidth() : 0);
    if (period == 0 || !hooks_.startCursorTimer)
        return;
    hooks_.startCursorTimer(period);
    cursorTimerActive_ = true;
}

void PlaybackEngine::StopCursorTimer()
{
    if (!cursorTimerActive_)
        return;
    if (hooks_.stopCursorTimer)
        hooks_.stopCursorTimer();
    cursorTimerActive_ = false;
}

}  // namespace brindle

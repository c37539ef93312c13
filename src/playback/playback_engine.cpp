#include "playback/playback_engine.h"

#include <algorithm>
#include <utility>

namespace brindle {
namespace {

int32_t ClampFrame(int64_t frame, uint32_t frameCount)
{
    return int32_t(std::clamp<int64_t>(frame, 0, std::min<int64_t>(frameCount, INT32_MAX)));
}

}  // namespace

bool PlaybackEngine::IsPartialSelection(uint32_t frameCount) const
{
    return HasSelection() && !(selectionStart == 0 && int64_t(selectionEnd) == int64_t(frameCount));
}

void PlaybackEngine::Clear()
{
    isOpen = isPaused = isStopping = endReached = false;
    position_ = 0;
    selectionStart = selectionEnd = -1;
}

void PlaybackEngine::SetPosition(int64_t frame, uint32_t frameCount) { position_ = ClampFrame(frame, frameCount); }

void PlaybackEngine::SetSelectionStart(int64_t frame, uint32_t frameCount)
{
    selectionStart = ClampFrame(frame, frameCount);
    if (selectionEnd >= 0 && selectionEnd < selectionStart)
        std::swap(selectionStart, selectionEnd);
}

void PlaybackEngine::SetSelectionEnd(int64_t frame, uint32_t frameCount)
{
    selectionEnd = ClampFrame(frame, frameCount);
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
    if (isOpen && isPaused) {
        isPaused = false;
        return 1;
    }
    return 0;
}

int PlaybackEngine::Pause()
{
    if (!isOpen || isPaused)
        return 0;
    isPaused = true;
    return 1;
}

int PlaybackEngine::Stop()
{
    if (!isOpen || isStopping)
        return 0;
    // With no device to report the close, the stop completes at once.
    isOpen = isPaused = isStopping = endReached = false;
    return 1;
}

}  // namespace brindle

// The wave-output device the playback engine streams to: exactly the operations the engine uses and
// the three notifications it answers. Implementations: ALSA (alsa_wave_out.h) and an in-process fake
// for tests (fake_wave_out.h).
//
// The operations are called on the UI thread only and return 1 on success, 0 on failure; none blocks
// for longer than a few milliseconds, whatever the hardware underneath is doing. Between a successful
// Write and the block's "done" notification the caller leaves the block's memory alone; a device that
// plays from a thread of its own copies it at Write, so nothing it does later can outlive the caller's
// memory. It never touches anything else of the sound.
//
// Notifications go to the sink given at Open, from whatever thread notices them; the sink delivers
// them on the UI thread, one at a time, in the order they were posted. After "closed" a device posts
// nothing more until the next Open.
#pragma once

#include <cstdint>
#include <string>

namespace brindle {

// The device's sample format: always signed 16-bit PCM, interleaved by channel.
struct PcmFormat16 {
    uint16_t channels = 0;  // 1 or 2
    uint32_t sampleRate = 0;

    uint32_t BlockAlign() const { return 2u * channels; }
};

// One stretch of samples handed to the device. byteCount is a whole number of frames.
struct WaveBlock {
    const int16_t* data = nullptr;
    uint32_t byteCount = 0;
};

enum class WaveOutEventKind : uint8_t { Opened, BlockDone, Closed };

struct WaveOutEvent {
    WaveOutEventKind kind = WaveOutEventKind::Opened;
    WaveBlock* block = nullptr;  // the block handed back, for BlockDone
};

// Receives the device's notifications. Post may be called from any thread and must not block.
class WaveOutEventSink {
public:
    virtual ~WaveOutEventSink() = default;
    virtual void Post(const WaveOutEvent& event) = 0;
};

class WaveOutDevice {
public:
    virtual ~WaveOutDevice() = default;

    // Opens the device for format; on success "opened" follows. Fails when already open.
    virtual int Open(const PcmFormat16& format, WaveOutEventSink& sink) = 0;
    // Queues a block behind those already queued; "done" follows once the device has taken all of it.
    virtual int Write(WaveBlock& block) = 0;
    // Holds the output where it is; blocks stay queued. Restart goes on from the same frame.
    virtual int Pause() = 0;
    virtual int Restart() = 0;
    // Stops the output at once, hands every queued block back as "done" (in the order queued), clears
    // a pause and starts the position again at 0.
    virtual int Reset() = 0;
    // Fails while blocks are queued. On success the device plays out what it already holds and then
    // posts "closed"; a Reset before that abandons the close and the device stays open.
    virtual int Close() = 0;
    // Frames played since the open or the last reset.
    virtual int GetPosition(uint32_t& frames) const = 0;
    // Why the last Open failed, in the system's words ("No such file or directory"); empty after an
    // Open that succeeded, or from a device that cannot say.
    virtual std::string OpenFailure() const { return {}; }
};

}  // namespace brindle

// The wave-output device over ALSA: the "default" PCM (or the one BRINDLE_ALSA_DEVICE names), 16-bit
// interleaved, fed by a thread of its own so the UI thread never waits for the sound card.
//
// Only that thread calls ALSA once the PCM is open, and never while holding the lock the caller's
// operations take: Write copies the block and queues it, Pause, Restart, Reset and Close leave a
// request, and the position is what the thread last saw of the card's delay, carried on by the clock
// (never past what was written). A device whose writes stall therefore stalls only its own thread.
// "done" is posted once a block has been handed to ALSA in full. Pause uses the device's own pause
// where it has one; elsewhere the output is dropped and, on Restart, the frames that had not sounded
// yet are written again from a copy, so playing goes on from the same frame. Close plays out what ALSA
// holds before "closed"; a Reset meanwhile abandons the close. An underrun recovers and playing goes
// on; a device that disappears hands every block back, and the engine's Close then succeeds at once.
// The destructor waits a moment for the thread and then leaves it be: a write that never returns
// cannot keep the program from ending. alsa-lib's own error printing is silenced: a machine without a
// sound card simply fails to open.
#pragma once

#include <memory>
#include <string>

#include "playback/wave_out_device.h"

namespace brindle {

class AlsaWaveOut final : public WaveOutDevice {
public:
    struct Options {
        std::string deviceName;      // empty: BRINDLE_ALSA_DEVICE when set, else "default"
        bool useDevicePause = true;  // false: always pause by dropping (as on a device that cannot pause)
    };

    AlsaWaveOut();
    explicit AlsaWaveOut(Options options);
    ~AlsaWaveOut() override;
    AlsaWaveOut(const AlsaWaveOut&) = delete;
    AlsaWaveOut& operator=(const AlsaWaveOut&) = delete;

    int Open(const PcmFormat16& format, WaveOutEventSink& sink) override;
    int Write(WaveBlock& block) override;
    int Pause() override;
    int Restart() override;
    int Reset() override;
    int Close() override;
    int GetPosition(uint32_t& frames) const override;
    std::string OpenFailure() const override;

    // The PCM name Open uses.
    const std::string& DeviceName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace brindle

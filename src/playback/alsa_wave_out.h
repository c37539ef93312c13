// The wave-output device over ALSA: the "default" PCM (or the one BRINDLE_ALSA_DEVICE names), 16-bit
// interleaved, fed by a thread of its own so the UI thread never waits for the sound card.
//
// "done" is posted once a block has been handed to ALSA in full; the position is the frames written
// minus the device's delay. Pause uses the device's own pause where it has one; elsewhere the output
// is dropped and, on Restart, the frames that had not sounded yet are written again from a copy, so
// playing goes on from the same frame. Close plays out what ALSA holds before "closed". An underrun
// recovers and playing goes on; a device that disappears hands every block back, and the engine's
// Close then succeeds at once. alsa-lib's own error printing is silenced: a machine without a sound
// card simply fails to open.
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

    // The PCM name Open uses.
    const std::string& DeviceName() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace brindle

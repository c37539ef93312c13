// Carries the wave-output device's notifications to the UI thread: the device posts them from its own
// thread, they arrive here as posted Qt events, in order, and are handed to the engine one at a time.
#pragma once

#include <QObject>

#include "playback/wave_out_device.h"

namespace brindle {

class PlaybackEngine;

class DeviceEvents : public QObject, public WaveOutEventSink {
    Q_OBJECT

public:
    explicit DeviceEvents(PlaybackEngine& engine, QObject* parent = nullptr);

    // Any thread.
    void Post(const WaveOutEvent& event) override;
    // Hands the engine every notification posted so far, without waiting for the event loop.
    void DeliverPosted();

signals:
    // The engine has handled a notification.
    void delivered();

protected:
    void customEvent(QEvent* event) override;

private:
    PlaybackEngine& engine_;
};

}  // namespace brindle

#include "app/device_events.h"

#include <QCoreApplication>
#include <QEvent>

#include "playback/playback_engine.h"

namespace brindle {
namespace {

const QEvent::Type kDeviceEventType = QEvent::Type(QEvent::registerEventType());

class DeviceEvent : public QEvent {
public:
    explicit DeviceEvent(const WaveOutEvent& event) : QEvent(kDeviceEventType), notification(event) {}
    WaveOutEvent notification;
};

}  // namespace

DeviceEvents::DeviceEvents(PlaybackEngine& engine, QObject* parent) : QObject(parent), engine_(engine) {}

void DeviceEvents::Post(const WaveOutEvent& event) { QCoreApplication::postEvent(this, new DeviceEvent(event)); }

void DeviceEvents::DeliverPosted() { QCoreApplication::sendPostedEvents(this, kDeviceEventType); }

void DeviceEvents::customEvent(QEvent* event)
{
    if (event->type() != kDeviceEventType)
        return;
    engine_.HandleDeviceEvent(static_cast<DeviceEvent*>(event)->notification);
    emit delivered();
}

}  // namespace brindle

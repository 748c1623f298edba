#pragma once
// Acting at the moment the device has received so many bytes. A dialog's
// queries wait in nested event loops, so a test's own code only runs again once
// they have returned; this runs inside whichever loop is running then.
#include <QObject>
#include <QTimer>
#include <functional>

#include "devsim/devicesimulator.h"

// `owner` ends the watch if it goes first.
inline void WhenDeviceHolds(QObject* owner, const devsim::DeviceSimulator& device, size_t count,
                            std::function<void()> action) {
  auto* poll = new QTimer(owner);
  QObject::connect(poll, &QTimer::timeout, [&device, poll, count, action = std::move(action)] {
    if (device.Received().size() < count) return;
    poll->stop();
    poll->deleteLater();
    action();
  });
  poll->start(1);
}

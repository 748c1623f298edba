#pragma once
// The command channel wired as the main window wires it: SerialPort1 on a
// device port, its clusters passed to AcceptAnswer, and the 100 ms time-out tick.
#include <QTimer>
#include <memory>

#include "link/devicelink.h"
#include "serial/serialport.h"
#include "tests/support/channelstate.h"

struct LinkFixture {
  std::unique_ptr<TSerialPort> port;
  QTimer tick;

  explicit LinkFixture(std::unique_ptr<PortBackend> backend = MakePosixBackend()) {
    ResetChannelState();
    port = std::make_unique<TSerialPort>(std::move(backend));
    port->OnRxClusterEvent = [](TSerialPort* p) { DeviceLink::AcceptAnswer(p->ReadClusterText()); };
    DeviceLink::Attach(port.get());
    tick.setInterval(100);
    QObject::connect(&tick, &QTimer::timeout, [] { DeviceLink::Tick(); });
    tick.start();
  }
  ~LinkFixture() {
    port.reset();
    ResetChannelState();
  }
};

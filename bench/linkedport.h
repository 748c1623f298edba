#pragma once
// A serial port wired to the command channel as the main window wires it,
// with the channel's 100 ms time-out tick running. Lives on the stack of a
// benchmark's main, after its QCoreApplication.
#include <QTimer>

#include "link/devicelink.h"
#include "serial/serialport.h"

struct LinkedPort {
  TSerialPort port;
  QTimer tick;

  LinkedPort() {
    port.OnRxClusterEvent = [](TSerialPort* p) { DeviceLink::AcceptAnswer(p->ReadClusterText()); };
    DeviceLink::Attach(&port);
    QObject::connect(&tick, &QTimer::timeout, [] { DeviceLink::Tick(); });
    tick.start(100);
  }
  ~LinkedPort() { DeviceLink::Attach(nullptr); }
  LinkedPort(const LinkedPort&) = delete;
  LinkedPort& operator=(const LinkedPort&) = delete;
};

#pragma once
// The device port of one command-line run: opened as the window opens it, the
// command channel's tick running, answers delivered to the channel.

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "serial/portenum.h"
#include "serial/serialport.h"

class ClockLink;

class DeviceSession : public QObject {
 public:
  // On the windows' channel (DeviceLink), or on a channel of its own for a
  // further clock of a station.
  DeviceSession();
  explicit DeviceSession(ClockLink& link);
  ~DeviceSession() override;
  // False when the port did not open; FailureText then says why (German).
  bool Open(const QString& portName);
  QString FailureText() const { return failure_; }
  // The open was refused because a firmware hand-over guards the port.
  bool FirmwareBeingWritten() const { return firmwareBeingWritten_; }
  // The platform's code of the failed open (EBUSY, EACCES, ENOENT …); 0 when unknown.
  uint32_t FailureCode() const { return failureCode_; }
  // Lets the last commands leave the port before it closes.
  void Finish();
  // The device behind the open port has gone (unplugged). Told from the
  // port's report, so it must not wait for the device.
  std::function<void()> OnGone;

 private:
  ClockLink& link_;
  std::unique_ptr<TSerialPort> port_;
  QTimer tick_;
  QString failure_;
  bool firmwareBeingWritten_ = false;
  uint32_t failureCode_ = 0;
};

// The port used when none is named: the only one present; empty when there
// is none, or several (a guess could reach the wrong clock).
QString DefaultPort();
// The port list as the port dialog shows it (PortNameBefore).
QStringList SortedPorts();
// The same, with what each port is (description, serial number, by-id link).
std::vector<PortInfo> SortedPortInfos();

#include "link/firmwareguard.h"

#include <QFile>

#include "link/devicelink.h"
#include "serial/portfailure.h"
#include "serial/serialport.h"

namespace FirmwareGuard {

namespace {
std::string LockName(const QString& portName) {
  return PortLockName(QFile::encodeName(portName).toStdString());
}
}  // namespace

std::optional<ProcessLock> Take(const QString& portName, const QString& holder) {
  return ProcessLock::TryTake(LockName(portName), holder.toStdString());
}

bool Held(const QString& portName) { return ProcessLock::HeldBy(LockName(portName)).has_value(); }

bool RefusesOpen(TSerialPort* port, const QString& portName) {
  if (!port || portName.isEmpty() || !Held(portName)) return false;
  if (port->Active()) port->SetActive(false);
  port->SetCommPort(portName.toLocal8Bit().toStdString());
  DeviceLink::ConnectionText = DeviceLink::kNotConnected;
  if (port->OnProcessError)
    port->OnProcessError(port, PortFailure::kOpenFailedPlace, PortFailure::kFirmwareBeingWritten,
                         "firmware being written", 0);
  return true;
}

}  // namespace FirmwareGuard

#include "cli/devicesession.h"

#include <algorithm>
#include <vector>

#include "link/clocklink.h"
#include "link/devicelink.h"
#include "serial/portenum.h"
#include "serial/portfailure.h"

namespace {
// How long the end waits for its last command to leave the port, as the window's end does.
constexpr uint32_t kLastBytesMs = 150;
}  // namespace

DeviceSession::DeviceSession() : DeviceSession(DeviceLink::Default()) {}

DeviceSession::DeviceSession(ClockLink& link) : link_(link), port_(std::make_unique<TSerialPort>()) {
  port_->SetErrorNoise(255);
  port_->OnRxClusterEvent = [this](TSerialPort* sender) { link_.AcceptAnswer(sender->ReadClusterText()); };
  port_->OnProcessError = [this](TSerialPort* sender, uint32_t place, uint32_t code, const std::string&,
                                 uint8_t) {
    const QString port = QString::fromLocal8Bit(sender->CommPort());
    if (place == PortFailure::kOpenFailedPlace) {
      failure_ = PortFailure::OpenFailureText(port, code, PortFailure::NodeOf(port));
      firmwareBeingWritten_ = code == PortFailure::kFirmwareBeingWritten;
      failureCode_ = code;
    } else if (PortFailure::IsDeviceGone(place, code)) {
      failure_ = PortFailure::DisconnectedText(port);
      link_.PortGone();
      if (OnGone) OnGone();
    }
  };
  link_.Attach(port_.get());
  tick_.setInterval(100);
  QObject::connect(&tick_, &QTimer::timeout, [this] { link_.Tick(); });
  tick_.start();
}

DeviceSession::~DeviceSession() {
  tick_.stop();
  if (port_->Active()) port_->SetActive(false);
  link_.Attach(nullptr);
}

bool DeviceSession::Open(const QString& portName) {
  link_.OpenDevicePort(portName);
  if (port_->Active()) return true;
  if (failure_.isEmpty()) failure_ = DeviceLink::kNotConnected;
  return false;
}

void DeviceSession::Finish() { link_.FinishSending(kLastBytesMs); }

std::vector<PortInfo> SortedPortInfos() {
  std::vector<PortInfo> found;
  EnumSerialPorts(found);
  std::stable_sort(found.begin(), found.end(),
                   [](const PortInfo& a, const PortInfo& b) { return PortNameBefore(a.Path, b.Path); });
  return found;
}

QStringList SortedPorts() {
  QStringList names;
  for (const PortInfo& port : SortedPortInfos()) names << QString::fromStdString(port.Path);
  return names;
}

QString DefaultPort() {
  const QStringList ports = SortedPorts();
  return ports.size() == 1 ? ports.first() : QString();
}

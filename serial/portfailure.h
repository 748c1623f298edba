#pragma once
// Why the device port is not connected, in the user's words. The serial
// component tells it by reports (a place and the platform's error code); this
// names the places that matter for the connection and turns them into the
// German text the main window's status bar shows as its tool-tip.

#include <QString>
#include <cstdint>

namespace PortFailure {

constexpr uint32_t kOpenFailedPlace = 112;    // "Error reopening Port"
constexpr uint32_t kStatusCheckPlace = 9803;  // "Error ClearCommError"
// Not the platform's: an open refused because a firmware hand-over guards the
// port (link/firmwareguard).
constexpr uint32_t kFirmwareBeingWritten = 0x4657;

// The open failed because another program holds the device.
bool IsBusy(uint32_t code);

// The device behind an open port has gone (a pulled cable or adapter): its
// status check fails with EIO, reported once.
bool IsDeviceGone(uint32_t place, uint32_t code);

// Who may use a device file: a refused open is explained by these, not by a
// guess at the usual group.
struct DeviceNode {
  bool found = false;  // false: the file could not be looked at
  QString owner;       // user name, or the number when it has none
  QString group;       // group name, or the number when it has none
  uint32_t mode = 0;   // st_mode: the file type and the permission bits
};

// The device file behind `port` (a link is followed).
DeviceNode NodeOf(const QString& port);

// The permissions as `ls -l` shows them: "crw-rw----".
QString ModeText(uint32_t mode);

// Why `port` did not open; `node` is its device file, which a refused access
// is explained by.
QString OpenFailureText(const QString& port, uint32_t code, const DeviceNode& node = DeviceNode());

// The device on `port` was disconnected, and how it comes back.
QString DisconnectedText(const QString& port);

}  // namespace PortFailure

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

// Why `port` did not open; `group` is the group that owns its device file, the
// one the user must belong to (empty: unknown).
QString OpenFailureText(const QString& port, uint32_t code, const QString& group = QString());

// The group that owns the device file of `port`; empty when it cannot be found.
QString OwningGroup(const QString& port);

// The device on `port` was disconnected, and how it comes back.
QString DisconnectedText(const QString& port);

}  // namespace PortFailure

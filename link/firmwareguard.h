#pragma once
// The port guard of a firmware hand-over: from the moment the port is closed
// for the flashing tool until the tool has ended, no Vellamo process (a window
// or vellamo-cli, this one or another) opens that port, so that no command
// lands in the middle of the tool's own conversation with the clock.
//
// The guard is a ProcessLock named after the port's device. The program that
// hands over takes it while its port is still open and hands it on to the
// hand-over script, which passes it to the tool: it lasts as long as they run,
// also when the program has ended or died meanwhile.

#include <QString>
#include <optional>

#include "serial/processlock.h"

class TSerialPort;

namespace FirmwareGuard {

// nullopt when another hand-over holds the port (or the lock folder cannot be
// used). `holder` says who hands over, for the others' messages.
std::optional<ProcessLock> Take(const QString& portName, const QString& holder);

// True while a hand-over (this process's included) holds the port.
bool Held(const QString& portName);

// Called first by every open of a device port. While a hand-over holds
// `portName`, nothing is opened (an open `port` is closed) and the refusal is
// reported on `port` as a failed open with PortFailure::kFirmwareBeingWritten,
// so that its owner shows the reason as for any other failed open. False when
// the open may go on.
bool RefusesOpen(TSerialPort* port, const QString& portName);

}  // namespace FirmwareGuard

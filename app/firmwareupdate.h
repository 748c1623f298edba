#pragma once
// The firmware hand-over behind the main window's "Firmware Update": the
// chosen image goes to the firmware folder, the hand-over script starts the
// flashing tool, and the program waits while a process named "fboot" runs.

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "app/processlist.h"

inline const std::string kFlashingToolName = "fboot";

inline const QString kCopyFailedText = QStringLiteral("Die Firmwaredatei konnte nicht kopiert werden.");
inline const QString kStartFailedText = QStringLiteral("Das Update-Programm konnte nicht gestartet werden.");
inline const QString kStillRunningText =
    QStringLiteral("Das Update-Programm läuft noch; die Verbindung wird wieder aufgebaut.");

// How the wait looks for the flashing tool and how long it bears with one
// that never ends. Tests point the look-up at a fake process list.
struct FirmwareWaitRules {
  std::function<uint32_t(const std::string&)> FindProcess = FindProcessId;
  std::chrono::milliseconds Limit = std::chrono::minutes(10);
};

// Places `image` as update.hex, starts the script with the port's full name and
// waits for the flashing tool: 500 ms, then a look every 100 ms until it has
// gone or the limit has passed. The user interface is not serviced meanwhile
// (the wait cursor shows). A failed copy or start skips the wait; each failure,
// and a tool still running at the limit, is told in a message box.
void HandOverFirmware(const QString& image, const QString& port, const FirmwareWaitRules& rules);

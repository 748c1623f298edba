#pragma once
// The firmware hand-over without a window: the chosen image goes to the
// firmware folder, the hand-over script starts the flashing tool, and the
// caller waits while a process named "fboot" runs.

#include <QString>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/processlist.h"

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

enum class HandOverResult { Done, CopyFailed, StartFailed, StillRunning };

// Places `image` as update.hex in the firmware folder, starts the script with
// the port's full name and waits for the flashing tool: 500 ms, then a look
// every 100 ms until it has gone or the limit has passed. A failed copy or
// start skips the wait. `waiting` is told when the wait begins (true) and ends
// (false); it may be empty.
HandOverResult HandOverImage(const QString& image, const QString& port, const FirmwareWaitRules& rules,
                             const std::function<void(bool)>& waiting = {});

#pragma once
// The firmware hand-over without a window: the chosen image goes to the
// firmware folder, the hand-over script starts the flashing tool, and the
// caller waits while a process named "fboot" runs and until the script ends.

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

// The hand-over script ended with a status other than 0; `log` is its update.log.
inline QString ScriptFailedText(int status, const QString& log) {
  return QStringLiteral("Das Update-Skript endete mit Status %1; Einzelheiten in %2").arg(status).arg(log);
}

// How the wait looks for the flashing tool and how long it bears with one
// that never ends. Tests point the look-up at a fake process list.
struct FirmwareWaitRules {
  std::function<uint32_t(const std::string&)> FindProcess = FindProcessId;
  std::chrono::milliseconds Limit = std::chrono::minutes(10);
};

enum class HandOverResult { Done, CopyFailed, StartFailed, StillRunning, ScriptFailed };

struct HandOverOutcome {
  HandOverResult result = HandOverResult::Done;
  int status = 0;  // the script's exit status (ScriptFailed), 128 + N for signal N
  QString log;     // the script's update.log
};

// Places `image` as update.hex in the firmware folder, starts the script with
// the port's full name as the program's child (in a session of its own),
// handing it the descriptor `guard` (the port's guard; -1 for none), and waits
// for the flashing tool: 500 ms, then a look every 100 ms until it has gone,
// then for the script to end, at most until the limit has passed. The wait
// serves the event loop. A failed copy or start skips the wait. `waiting` is
// told when the wait begins (true) and ends (false); it may be empty.
HandOverOutcome HandOverImage(const QString& image, const QString& port, const FirmwareWaitRules& rules,
                              int guard = -1, const std::function<void(bool)>& waiting = {});

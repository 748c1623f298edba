#pragma once
// The firmware hand-over as a command: unlike the window, the hand-over
// script's exit status is the outcome, and the port must open again after it.

#include <QJsonObject>
#include <QString>
#include <functional>

#include "cli/devicesession.h"
#include "cli/ending.h"
#include "cli/report.h"

// After a signal has been passed on to the flashing tool, how long the command
// waits for it to end before it says that the tool still writes. A tool told
// to stop finishes or abandons the block it is writing and leaves the boot
// loader, which for a clock's flash takes well under a second; ten seconds
// leave room for a slow machine, and are short enough that a script's own
// time-out around the command is not held up for long.
inline constexpr int kToolGraceAfterSignalMs = 10000;

// Why `session` did not open, for a script, and the exit code it gives.
struct OpenFailure {
  const char* error;
  int code;
};
OpenFailure OpenFailureOf(const DeviceSession& session);

// Names why `session` did not open (German) and returns the exit code: 7 when
// a firmware hand-over guards the port, 4 when another program holds it, else 2.
int ReportOpenFailure(const QString& command, const DeviceSession& session, Report& report);

// How the command reports an ending (a signal, a closed output) once the tool
// has ended: `extra` JSON members and `more` text tell the tool's own ending.
using EndingReport = std::function<int(const QJsonObject& extra, const QString& more)>;

// Opens the port to see that it is there and free, takes the port's guard while
// it is open and closes it; hands the image over to the script, which keeps the
// guard for itself and the tool; waits until the script and everything that
// holds the guard have ended (at most ten minutes), serving the event loop, and
// then opens the port again. A signal meanwhile is passed on to the script's
// process group, and the tool gets kToolGraceAfterSignalMs to end. Returns the
// exit code: 8 when the tool still runs as the command ends.
int RunFirmware(const QString& image, const QString& port, Report& report, const Ending& ending,
                const EndingReport& reportEnding);

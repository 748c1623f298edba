#pragma once
// The firmware hand-over as a command: unlike the window, the hand-over
// script's exit status is the outcome, and the port must open again after it.

#include <QString>

#include "cli/ending.h"
#include "cli/report.h"

// Checks that the port opens, hands the image over and waits for the script
// (at most ten minutes; the shipped one runs the flashing tool in the
// foreground), then opens the port again. Returns the exit code, or -1 when
// `ending` asked to stop (the flashing goes on in its own session).
int RunFirmware(const QString& image, const QString& port, Report& report, const Ending& ending);

#pragma once
// The firmware hand-over behind the main window's "Firmware Update"
// (tools/firmwarehandover), with the window's wait cursor and message boxes.

#include <QString>

#include "tools/firmwarehandover.h"

// The user interface is not serviced during the wait (the wait cursor shows).
// Each failure, and a tool still running at the limit, is told in a message box.
void HandOverFirmware(const QString& image, const QString& port, const FirmwareWaitRules& rules);

#pragma once
// The firmware hand-over behind the main window's "Firmware Update"
// (tools/firmwarehandover), with the window's wait cursor, a notice that the
// firmware is being written, and message boxes.

#include <QString>

#include "tools/firmwarehandover.h"

class QWidget;

// The notice's object name, for finding it.
inline const QString kFirmwareNoticeName = QStringLiteral("firmwareBeingWritten");

// While the tool runs the program stays responsive (the wait serves the event
// loop), and a notice without buttons, modal for the whole program, says that
// the firmware is being written: there is no way to cancel it. Each failure, a
// script that ended with a status other than 0 (with its update.log), and a
// tool still running at the limit, is told in a message box. `guard` is the
// port guard's descriptor, handed on to the script.
void HandOverFirmware(QWidget* owner, const QString& image, const QString& port,
                      const FirmwareWaitRules& rules, int guard);

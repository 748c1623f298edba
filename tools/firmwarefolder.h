#pragma once
// Where the firmware hand-over happens: the folder that holds "update.hex",
// the script "update.bat" and its "update.log".

#include <QString>

inline const QString kFirmwareImage = QStringLiteral("update.hex");

// The program folder's "firmware" while the program may write there (it is
// made when missing). An installed program's folder is not writable: then the
// per-user folder, made on first use with a copy of the shipped script. The
// path has no trailing separator.
QString FirmwareFolder();

// $XDG_DATA_HOME/vellamo/firmware (~/.local/share/vellamo/firmware by default).
QString UserFirmwareFolder();

// Copies `source` to folder/update.hex, replacing the image there. Choosing
// that very image again keeps it. False when the copy failed.
bool PlaceFirmwareImage(const QString& source, const QString& folder);

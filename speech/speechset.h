#pragma once
// Reading a speech set file: plain 8-bit text, one sound file per line, each a
// path below the "speechset\" folder. No widgets here, so that the rules can be
// tested on their own.
//
// A line ends at CR LF, at a CR alone, and at an LF alone (speech sets written
// with a Linux editor have only LFs; read as one line they would become a single
// unplayable entry). A byte 0x1A ends the text. A line end after the last line
// adds no line; every further one adds a blank line. Lines are kept as they are,
// blanks included. A line that is valid UTF-8 is taken as UTF-8, any other as
// Windows-1252, the code page speech sets were written in on Windows.

#include <QByteArray>
#include <QString>
#include <QStringList>

// The lines of a speech set file's contents.
QStringList SpeechSetLines(const QByteArray& contents);

// Reads the file at `path` (a path of this system, not a data path) into `lines`;
// false when it cannot be opened or read, and `lines` is then empty.
bool ReadSpeechSet(const QString& path, QStringList& lines);

// One 8-bit line as text: as UTF-8 when it is valid UTF-8, otherwise as Windows-1252.
QString SpeechSetLineText(const QByteArray& line);

// The data folders below the program folder, as the data paths write them.
inline const QString kSpeechSetFolder = QStringLiteral("speechset\\");
inline const QString kAlarmSoundFolder = QStringLiteral("soundset\\");

// The copy list of a run: the speech set's lines (each below "speechset\"), then
// the alarm sounds (names in "soundset\"), in this order.
QStringList BuildCopyList(const QStringList& speechSetLines, const QStringList& alarmSounds);

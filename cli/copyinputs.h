#pragma once
// What a copy needs before the clock is touched: the speech set, every entry
// and alarm sound it names, the calibration tone, and a sound output to play
// them on. A run that would fail on one of them fails here, in a second,
// instead of after the clock has recorded everything.

#include <QString>
#include <QStringList>

struct CopyInputs {
  const char* error = nullptr;  // nullptr when everything is there
  QString message;              // German, names the file at fault
  QStringList unplayable;       // the entries no decoder could read
  QStringList entries;          // the copy list
};

// `set` is a path, or a name in the current or the speechset folder; `alarms` are names in the
// soundset folder; `dataFolder` is the program folder with its trailing separator.
CopyInputs CheckCopyInputs(const QString& set, const QStringList& alarms, const QString& dataFolder);

// The sound server can be reached; false without a word on stderr.
bool SoundOutputReachable();

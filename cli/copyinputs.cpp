#include "cli/copyinputs.h"

#include <QFile>
#include <QFileInfo>

#include "speech/audio.h"
#include "speech/sounddecoder.h"
#include "speech/speechset.h"
#include "ui/programfolder.h"

namespace {

// The level adjustment plays it; see the copy sequence.
const QString kCalibrationTone = QStringLiteral("resources\\tone.mp3");

bool Decodable(const QString& dataPath) {
  return !dataPath.isEmpty() &&
         SoundDecoder::Open(QFile::encodeName(LocalPath(dataPath)).toStdString()) != nullptr;
}

// A path (with a folder in it) is taken, and named, as given; a name alone
// that is not in the current folder is looked for in the program's speechset
// folder.
QString SpeechSetPath(const QString& set, const QString& dataFolder) {
  if (set.contains(QLatin1Char('/')) || QFileInfo::exists(set)) return set;
  return LocalPath(dataFolder + kSpeechSetFolder + set);
}

}  // namespace

CopyInputs CheckCopyInputs(const QString& set, const QStringList& alarms, const QString& dataFolder) {
  CopyInputs inputs;
  QStringList lines;
  const QString setPath = SpeechSetPath(set, dataFolder);
  if (!QFileInfo(setPath).isFile() || !ReadSpeechSet(setPath, lines)) {
    inputs.error = "cannot-open-set";
    inputs.message = QStringLiteral("Die Sprachdatei konnte nicht geöffnet werden: %1").arg(setPath);
    return inputs;
  }
  inputs.entries = BuildCopyList(lines, alarms);
  // The clock would process an empty recording, which may clear what it holds.
  if (inputs.entries.isEmpty()) {
    inputs.error = "nothing-to-copy";
    inputs.message =
        QStringLiteral("Nichts zu übertragen: %1 enthält keine Zeile, und es ist kein Weckton angegeben.")
            .arg(setPath);
    return inputs;
  }
  for (const QString& entry : inputs.entries)
    if (entry == kSpeechSetFolder || !Decodable(dataFolder + entry))
      inputs.unplayable << (entry == kSpeechSetFolder ? QStringLiteral("(leere Zeile)") : entry);
  if (!inputs.unplayable.isEmpty()) {
    inputs.error = "unplayable-entries";
    inputs.message = QStringLiteral("Folgende Dateien aus %1 konnten nicht abgespielt werden:\n%2")
                         .arg(setPath, inputs.unplayable.join(QLatin1Char('\n')));
    return inputs;
  }
  if (!Decodable(dataFolder + kCalibrationTone)) {
    inputs.error = "unplayable-entries";
    inputs.unplayable << kCalibrationTone;
    inputs.message = QStringLiteral("Der Kalibrierton fehlt oder ist nicht abspielbar: %1")
                         .arg(LocalPath(dataFolder + kCalibrationTone));
  }
  return inputs;
}

bool SoundOutputReachable() { return CurrentAudioOutput().Open(); }

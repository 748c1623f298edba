#include "ui/programfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <algorithm>

#include "ui/datafolder.h"

namespace {
QString& Override() {
  static QString folder;
  return folder;
}
}  // namespace

void OverrideProgramFolder(const QString& folder) {
  Override() = folder.endsWith('/') || folder.isEmpty() ? folder : folder + '/';
}

QString ProgramFolder() {
  if (!Override().isEmpty()) return Override();
  return DataFolderFor(QCoreApplication::applicationDirPath() + '/');
}

namespace {
// The entry of `folder` named `name` in any case; empty when there is none.
// Of several, the first in name order, so that the choice does not change.
QString EntryInAnyCase(const QString& folder, const QString& name) {
  const QStringList entries =
      QDir(folder.isEmpty() ? QStringLiteral(".") : folder)
          .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
  auto match = std::find_if(entries.begin(), entries.end(), [&](const QString& entry) {
    return entry.compare(name, Qt::CaseInsensitive) == 0;
  });
  return match == entries.end() ? QString() : *match;
}
}  // namespace

// Speech sets made on Windows name their files in any case ("Eins.WAV" for
// "eins.wav"), and Windows found them: so does this, one folder at a time,
// whenever the exact name is not there.
QString LocalPath(const QString& path) {
  QString local = path;
  local.replace('\\', '/');
  if (local.isEmpty() || QFileInfo::exists(local)) return local;
  const QStringList parts = local.split('/', Qt::SkipEmptyParts);
  QString found = local.startsWith('/') ? QStringLiteral("/") : QString();
  for (qsizetype i = 0; i < parts.size(); ++i) {
    QString name = parts[i];
    if (!QFileInfo::exists(found + name)) {
      name = EntryInAnyCase(found, name);
      if (name.isEmpty()) return local;  // not there in any case: as written
    }
    found += name;
    if (i + 1 < parts.size()) found += '/';
  }
  return found;
}

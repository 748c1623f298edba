#include "ui/programfolder.h"

#include <QCoreApplication>

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

QString LocalPath(const QString& path) {
  QString local = path;
  local.replace('\\', '/');
  return local;
}

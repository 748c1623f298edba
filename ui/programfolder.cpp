#include "ui/programfolder.h"

#include <QCoreApplication>

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
  return QCoreApplication::applicationDirPath() + '/';
}

QString LocalPath(const QString& path) {
  QString local = path;
  local.replace('\\', '/');
  return local;
}

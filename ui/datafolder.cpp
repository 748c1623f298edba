#include "ui/datafolder.h"

#include <QDir>
#include <QFileInfo>

QString DataFolderFor(const QString& executableFolder) {
  if (QFileInfo(executableFolder + QStringLiteral("speechset")).isDir()) return executableFolder;
  // The path from the executables' folder to the data folder, as installed
  // (bin/ -> share/vellamo/); set by the build beside the install rules.
  const QString installed =
      QDir::cleanPath(executableFolder + QStringLiteral(VELLAMO_INSTALLED_DATA_FROM_BIN));
  if (QFileInfo(installed).isDir()) return installed + '/';
  return executableFolder;
}

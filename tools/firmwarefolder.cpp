#include "tools/firmwarefolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <filesystem>
#include <system_error>

#include "tools/firmwarelauncher.h"
#include "ui/programfolder.h"

namespace {

QString ProgramFirmwareFolder() { return ProgramFolder() + QStringLiteral("firmware"); }

bool WritableFolder(const QString& path) {
  const QFileInfo info(path);
  return info.isDir() && info.isWritable();
}

}  // namespace

QString UserFirmwareFolder() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
         QStringLiteral("/vellamo/firmware");
}

QString FirmwareFolder() {
  const QString own = ProgramFirmwareFolder();
  if (WritableFolder(own) || (!QFileInfo::exists(own) && QDir().mkpath(own) && WritableFolder(own)))
    return own;

  const QString user = UserFirmwareFolder();
  QDir().mkpath(user);
  // A script the user adapted there is kept; the shipped one only fills a gap.
  const QString script = user + '/' + QString::fromStdString(kUpdateScript);
  if (!QFileInfo::exists(script)) QFile::copy(own + '/' + QString::fromStdString(kUpdateScript), script);
  return user;
}

bool PlaceFirmwareImage(const QString& source, const QString& folder) {
  namespace fs = std::filesystem;
  const fs::path from = QFile::encodeName(source).toStdString();
  const fs::path to = QFile::encodeName(folder + '/' + kFirmwareImage).toStdString();
  std::error_code error;
  if (fs::equivalent(from, to, error)) return true;
  error.clear();
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
  return !error;
}

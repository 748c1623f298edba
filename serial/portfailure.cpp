#include "serial/portfailure.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cerrno>

#include "serial/portbackend.h"

namespace PortFailure {

bool IsDeviceGone(uint32_t place, uint32_t code) { return place == kStatusCheckPlace && code == EIO; }

bool IsBusy(uint32_t code) { return code == EBUSY || code == EAGAIN; }

namespace {

// The advice for a refused open, from who may read and write the file.
QString AccessAdvice(const DeviceNode& node) {
  if (!node.found) return QStringLiteral("Zugriff verweigert.");
  const QString who =
      QStringLiteral("Besitzer %1, Gruppe %2, Rechte %3").arg(node.owner, node.group, ModeText(node.mode));
  const bool groupMayUse = (node.mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  // Joining root would give away the whole machine; no other group helps when
  // the group itself may not read and write.
  if (groupMayUse && node.group != QStringLiteral("root"))
    return QStringLiteral(
               "Zugriff verweigert (%1). Ihr Benutzer muss Mitglied der Gruppe \"%2\" sein "
               "(sudo adduser $USER %2); danach einmal ab- und wieder anmelden.")
        .arg(who, node.group);
  return QStringLiteral(
             "Zugriff verweigert (%1). Keine Gruppe, der Ihr Benutzer beitreten sollte, darf das Gerät lesen "
             "und schreiben; ein Administrator muss seine Rechte ändern (etwa mit einer udev-Regel).")
      .arg(who);
}

QString UserName(uid_t uid) {
  const passwd* user = getpwuid(uid);
  return user ? QString::fromLocal8Bit(user->pw_name) : QString::number(uid);
}

QString GroupName(gid_t gid) {
  const group* named = getgrgid(gid);
  return named ? QString::fromLocal8Bit(named->gr_name) : QString::number(gid);
}

}  // namespace

QString OpenFailureText(const QString& port, uint32_t code, const DeviceNode& node) {
  if (port.isEmpty())
    return QStringLiteral("Es ist kein Port gewählt. Wählen Sie ihn unter Einstellungen > Com Port.");
  const QString head = QStringLiteral("%1 konnte nicht geöffnet werden: ").arg(port);
  switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return head + QStringLiteral("Dieses Gerät gibt es nicht. Ist das Gerät angeschlossen?");
    case EACCES:
    case EPERM:
      return head + AccessAdvice(node);
    case EBUSY:
    case EAGAIN:
      return head + QStringLiteral("Das Gerät ist belegt; ein anderes Programm benutzt es.");
    case ENOTTY:
    case ENOTDIR:
    case EISDIR:
      return head + QStringLiteral("Das ist kein serieller Port.");
    case kFirmwareBeingWritten:
      return head +
             QStringLiteral(
                 "Die Firmware des Geräts wird gerade geschrieben. Bitte das Gerät nicht abziehen und es "
                 "nach dem Ende des Updates erneut versuchen.");
    default:
      return head + QStringLiteral("Fehler %1.").arg(code);
  }
}

DeviceNode NodeOf(const QString& port) {
  const std::string path = DevicePathOf(port.toLocal8Bit().toStdString());
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  return {true, UserName(st.st_uid), GroupName(st.st_gid), static_cast<uint32_t>(st.st_mode)};
}

QString ModeText(uint32_t mode) {
  QString text = S_ISCHR(mode)   ? QStringLiteral("c")
                 : S_ISDIR(mode) ? QStringLiteral("d")
                 : S_ISLNK(mode) ? QStringLiteral("l")
                                 : QStringLiteral("-");
  const uint32_t bits[] = {S_IRUSR, S_IWUSR, S_IXUSR, S_IRGRP, S_IWGRP, S_IXGRP, S_IROTH, S_IWOTH, S_IXOTH};
  const char letters[] = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) text += (mode & bits[i]) ? QLatin1Char(letters[i]) : QLatin1Char('-');
  return text;
}

QString DisconnectedText(const QString& port) {
  return QStringLiteral(
             "Die Verbindung zu %1 ist getrennt: Das Gerät wurde abgezogen oder ausgeschaltet. Sobald es "
             "wieder angeschlossen ist, verbindet Vellamo sich von selbst wieder. Einen anderen Port wählen "
             "Sie unter Einstellungen > Com Port.")
      .arg(port);
}

}  // namespace PortFailure

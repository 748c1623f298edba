#include "serial/portfailure.h"

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>

#include "serial/portbackend.h"

namespace PortFailure {

bool IsDeviceGone(uint32_t place, uint32_t code) { return place == kStatusCheckPlace && code == EIO; }

bool IsBusy(uint32_t code) { return code == EBUSY || code == EAGAIN; }

QString OpenFailureText(const QString& port, uint32_t code, const QString& group) {
  if (port.isEmpty())
    return QStringLiteral("Es ist kein Port gewählt. Wählen Sie ihn unter Einstellungen > Com Port.");
  const QString head = QStringLiteral("%1 konnte nicht geöffnet werden: ").arg(port);
  switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return head + QStringLiteral("Dieses Gerät gibt es nicht. Ist das Gerät angeschlossen?");
    case EACCES:
    case EPERM: {
      const QString owner =
          group.isEmpty() || group == QStringLiteral("root") ? QStringLiteral("dialout") : group;
      return head + QStringLiteral(
                        "Zugriff verweigert. Ihr Benutzer muss Mitglied der Gruppe \"%1\" sein "
                        "(sudo adduser $USER %1); danach einmal ab- und wieder anmelden.")
                        .arg(owner);
    }
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

QString OwningGroup(const QString& port) {
  const std::string path = DevicePathOf(port.toLocal8Bit().toStdString());
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  const group* owner = getgrgid(st.st_gid);
  return owner ? QString::fromLocal8Bit(owner->gr_name) : QString();
}

QString DisconnectedText(const QString& port) {
  return QStringLiteral(
             "Die Verbindung zu %1 ist getrennt: Das Gerät wurde abgezogen oder ausgeschaltet. Sobald es "
             "wieder angeschlossen ist, verbindet Vellamo sich von selbst wieder. Einen anderen Port wählen "
             "Sie unter Einstellungen > Com Port.")
      .arg(port);
}

}  // namespace PortFailure

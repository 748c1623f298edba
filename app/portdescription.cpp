#include "app/portdescription.h"

#include <QStringList>

QString PortDescription(const PortInfo& port) {
  const QString description = QString::fromStdString(port.Description);
  QStringList lines;
  switch (port.Type) {
    case PortInfo::Kind::Usb:
      lines << (description.isEmpty() ? QStringLiteral("USB-Adapter") : description);
      break;
    case PortInfo::Kind::OnBoard:
      if (!description.isEmpty()) lines << QStringLiteral("Eingebauter Port (Treiber %1)").arg(description);
      break;
    case PortInfo::Kind::Virtual:
      if (!description.isEmpty()) lines << QStringLiteral("Virtueller Port eines Programms (%1)").arg(description);
      break;
  }
  if (!port.Serial.empty()) lines << QStringLiteral("Seriennummer: %1").arg(QString::fromStdString(port.Serial));
  // The folder is the same for every by-id name; the name itself says which adapter.
  if (!port.ById.empty())
    lines << QStringLiteral("by-id: %1").arg(QString::fromStdString(port.ById).section('/', -1));
  return lines.join('\n');
}

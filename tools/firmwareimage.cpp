#include "tools/firmwareimage.h"

#include <QFile>
#include <QFileInfo>

#include "tools/intelhex.h"

std::optional<ImageRefusal> RefuseFirmwareImage(const QString& path) {
  QFile file(path);
  if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
    return ImageRefusal{
        "cannot-open-image",
        QStringLiteral("Die Firmwaredatei wurde nicht gefunden oder ist nicht lesbar: %1").arg(path), 0,
        QString()};
  // Read in pieces: a large wrong file is read only up to its first fault.
  IntelHexChecker checker;
  constexpr qint64 kPiece = 64 * 1024;
  bool readFailed = false;
  for (;;) {
    const QByteArray piece = file.read(kPiece);
    if (piece.isEmpty()) {
      readFailed = file.error() != QFileDevice::NoError;
      break;
    }
    if (!checker.Feed(std::string_view(piece.constData(), static_cast<size_t>(piece.size())))) break;
  }
  if (readFailed)
    return ImageRefusal{
        "cannot-open-image",
        QStringLiteral("Die Firmwaredatei %1 konnte nicht gelesen werden: %2").arg(path, file.errorString()),
        0, QString()};
  const HexVerdict verdict = checker.Finish();
  if (verdict.ok) return std::nullopt;
  const QString reason = QString::fromStdString(verdict.reason);
  return ImageRefusal{"bad-image",
                      QStringLiteral("Die Firmwaredatei %1 ist keine gültige Intel-HEX-Datei: Zeile %2: %3. "
                                     "Es wurde nichts an das Gerät übergeben.")
                          .arg(path)
                          .arg(verdict.line)
                          .arg(reason),
                      verdict.line, reason};
}

#include "tools/servertime.h"

QDateTime ServerDateTime(uint32_t seconds) {
  return QDateTime::fromSecsSinceEpoch(static_cast<int64_t>(seconds) - kSecondsFrom1900To1970, Qt::UTC);
}

QString ServerTimeText(uint32_t seconds, int64_t computerSeconds) {
  const QDateTime server = ServerDateTime(seconds);
  const int64_t difference = server.toSecsSinceEpoch() - computerSeconds;
  const QString signedDifference =
      difference > 0 ? QStringLiteral("+%1").arg(difference) : QString::number(difference);
  return QStringLiteral("Serverzeit: %1 (Abweichung %2 s)")
      .arg(server.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")), signedDifference);
}

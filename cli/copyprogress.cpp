#include "cli/copyprogress.h"

#include <cmath>

void CopyProgress::EntryStarted(const QString& name, int64_t nowMs) {
  if (started_ == 0) firstStartMs_ = nowMs;
  ++started_;
  within_ = 0;
  name_ = name;
}

int CopyProgress::SecondsLeft(int64_t nowMs) const {
  const double done = (started_ - 1) + within_;
  if (started_ == 0 || done <= 0) return -1;
  const double perEntryMs = double(nowMs - firstStartMs_) / done;
  return static_cast<int>(std::lround(perEntryMs * (total_ - done) / 1000.0));
}

QString CopyProgress::Line(int64_t nowMs) const {
  if (started_ == 0) return {};
  const QString head = QStringLiteral("Eintrag %1 von %2: %3").arg(started_).arg(total_).arg(name_);
  const int left = SecondsLeft(nowMs);
  if (left < 0) return head;
  return head + QStringLiteral(", noch etwa %1:%2").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
}

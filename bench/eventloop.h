#pragma once
// Serving Qt's event loop in a benchmark until a condition holds.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

// False when `done` still does not hold after `timeoutMs`.
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
  }
  return true;
}

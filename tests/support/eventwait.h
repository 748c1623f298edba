#pragma once
// Waiting in tests without sleeping blind: the Qt event loop keeps running
// (timers, queued deliveries of the serial worker) until the condition holds.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/support/faulttime.h"

inline bool ProcessUntil(const std::function<bool()>& condition, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!condition()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline void ProcessFor(int ms) {
  ProcessUntil([] { return false; }, ms);
}

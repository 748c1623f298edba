#include "ui/quitsignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>

namespace {

int signalPipe[2] = {-1, -1};

std::function<void()>& QuitHandler() {
  static std::function<void()> handler;
  return handler;
}

// Async-signal-safe: write() only, errno kept for the interrupted code. A full
// pipe already holds a wake-up, so a failed write loses nothing.
void OnSignal(int) {
  const int savedErrno = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t written = write(signalPipe[1], &byte, 1);
  errno = savedErrno;
}

void DrainAndQuit() {
  char bytes[64];
  while (read(signalPipe[0], bytes, sizeof bytes) > 0) {
  }
  if (QuitHandler()) QuitHandler()();
}

}  // namespace

bool CatchQuitSignals(std::function<void()> onQuit) {
  QuitHandler() = std::move(onQuit);
  if (signalPipe[0] >= 0) return true;
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, [] { DrainAndQuit(); });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Restart interrupted calls: the program's own waits know nothing of signals.
  action.sa_flags = SA_RESTART;
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

#include "ui/quitsignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <set>

namespace {

int signalPipe[2] = {-1, -1};

std::set<int>& IgnoredAtStart() {
  static std::set<int> ignored;
  return ignored;
}

std::function<void(int)>& QuitHandler() {
  static std::function<void(int)> handler;
  return handler;
}

// Async-signal-safe: write() only, errno kept for the interrupted code. A full
// pipe already holds a wake-up, so a failed write loses nothing.
void OnSignal(int signal) {
  const int savedErrno = errno;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] ssize_t written = write(signalPipe[1], &byte, 1);
  errno = savedErrno;
}

// The first signal of a burst names the end.
void DrainAndQuit() {
  char bytes[64];
  int first = 0;
  for (ssize_t n; (n = read(signalPipe[0], bytes, sizeof bytes)) > 0;)
    if (first == 0) first = static_cast<unsigned char>(bytes[0]);
  if (first != 0 && QuitHandler()) QuitHandler()(first);
}

}  // namespace

bool CatchQuitSignals(std::function<void(int)> onQuit) {
  QuitHandler() = std::move(onQuit);
  if (signalPipe[0] >= 0) return true;
  // Looked at before anything is installed: what the caller ignored stays ignored.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN)
      IgnoredAtStart().insert(signal);
  }
  if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, [] { DrainAndQuit(); });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Restart interrupted calls: the program's own waits know nothing of signals.
  action.sa_flags = SA_RESTART;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  bool installed = sigaction(SIGPIPE, &ignore, nullptr) == 0;
  // A background job of a script has SIGINT ignored, nohup SIGHUP: the caller
  // asked that these do not end the program.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP})
    if (!IgnoredAtStart().count(signal)) installed = sigaction(signal, &action, nullptr) == 0 && installed;
  return installed;
}

void EndBySignal(int signal) {
  if (IgnoredAtStart().count(signal)) return;
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signal);
}

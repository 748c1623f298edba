// vellamo-devsim: the clock device on a pty, announced as a virtual port.
//
// Signals are taken through a signalfd rather than a handler, so that the normal
// destructors withdraw the announcement and close the pty on every way out.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>

#include "devsim/devicesimulator.h"
#include "devsim/programoptions.h"
#include "devsim/virtualports.h"

namespace {

constexpr const char* kLinkPrefix = "vellamo-devsim-";
// Without a pidfd (older kernels) the watched process is looked at this often.
constexpr int kPidCheckMs = 200;

bool ProcessGone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

int main(int argc, char** argv) {
  devsim::ProgramOptions options;
  std::string error;
  if (!devsim::ParseProgramOptions(argc, argv, options, error)) {
    std::cerr << "vellamo-devsim: " << error << "\n\n" << devsim::kUsage;
    return 2;
  }
  if (options.help) {
    std::cout << devsim::kUsage;
    return 0;
  }

  // Blocked before the simulator's thread starts, so that it inherits the mask and
  // the signals reach only the signalfd.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (signalFd < 0) {
    std::perror("vellamo-devsim: signalfd");
    return 1;
  }

  int pidFd = -1;
  if (options.exitWithPid > 0) {
    // Through syscall(): glibc 2.36 declares pidfd_open without C linkage for C++.
    pidFd = int(syscall(SYS_pidfd_open, options.exitWithPid, 0));
    if (pidFd < 0 && errno == ESRCH) return 0;  // it ended before we began
  }

  const auto start = std::chrono::steady_clock::now();
  // The serving thread's observer and this thread both write here: one line at a time.
  std::mutex stderrMutex;
  auto print = [&](const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(stderrMutex);
    if (options.monotonicTimes) {
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
      std::fprintf(stderr, "%.6f %s\n", double(us) / 1e6, line.c_str());
      return;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
    std::fprintf(stderr, "%8.3f %s\n", double(ms) / 1000.0, line.c_str());
  };
  auto say = [&](const std::string& line) {
    if (options.verbose) print(line);
  };
  // What the device heard in each recording goes to the log even without --verbose.
  if (options.verbose || options.simulator.hearing) {
    options.simulator.observer = [&](const std::string& line) {
      if (options.verbose || line.rfind("heard ", 0) == 0) print(line);
    };
  }

  std::unique_ptr<devsim::DeviceSimulator> device;
  try {
    try {
      device = std::make_unique<devsim::DeviceSimulator>(options.simulator);
    } catch (const devsim::HearingUnavailable& e) {
      // Still a useful device: "B" answers the fixed level instead.
      std::cerr << "vellamo-devsim: hearing mode off: " << e.what() << "\n";
      options.simulator.hearing.reset();
      device = std::make_unique<devsim::DeviceSimulator>(options.simulator);
    }
  } catch (const std::exception& e) {
    std::cerr << "vellamo-devsim: " << e.what() << "\n";
    return 1;
  }
  for (const auto& step : options.script) step(*device);
  for (const devsim::TimedSend& send : options.sends) device->SendRaw(send.bytes, send.after);

  std::optional<devsim::PortAnnouncement> announcement;
  if (options.announce) {
    const std::string folder = devsim::VirtualPortFolder();
    const std::string name = options.name.empty() ? kLinkPrefix + std::to_string(getpid()) : options.name;
    try {
      devsim::RemoveStaleAnnouncements(folder, kLinkPrefix);
      announcement.emplace(folder, name, device->PortPath());
    } catch (const std::exception& e) {
      // Still usable by typing the path into the port dialog.
      std::cerr << "vellamo-devsim: not announced: " << e.what() << "\n";
    }
  }

  std::cout << device->PortPath() << std::endl;
  say("ready on " + device->PortPath() + (announcement ? ", announced as " + announcement->LinkPath() : "") +
      (device->Hearing() ? ", hearing " + options.simulator.hearing->source : ""));

  for (;;) {
    int timeoutMs = -1;
    if (options.exitWithPid > 0 && pidFd < 0) timeoutMs = kPidCheckMs;
    if (options.unplugAfter.count() >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          start + options.unplugAfter - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        say("unplugging");
        device->Unplug();
        break;
      }
      timeoutMs = timeoutMs < 0 ? int(left.count()) + 1 : std::min(timeoutMs, int(left.count()) + 1);
    }
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {pidFd, POLLIN, 0}};
    const int ready = poll(fds, pidFd >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0 && errno != EINTR) {
      std::perror("vellamo-devsim: poll");
      break;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      [[maybe_unused]] ssize_t n = read(signalFd, &info, sizeof info);
      say("ending on signal " + std::to_string(info.ssi_signo));
      break;
    }
    if ((pidFd >= 0 && (fds[1].revents & POLLIN)) ||
        (options.exitWithPid > 0 && pidFd < 0 && ProcessGone(options.exitWithPid))) {
      say("ending: process " + std::to_string(options.exitWithPid) + " has ended");
      break;
    }
  }

  announcement.reset();
  device.reset();
  if (pidFd >= 0) close(pidFd);
  close(signalFd);
  return 0;
}

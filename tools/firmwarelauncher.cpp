#include "tools/firmwarelauncher.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

// Between fork and exec only async-signal-safe calls: the program has other
// threads, whose locks may be held in the copy.
[[noreturn]] void RunScript(int report, int log, const char* folder, char* const argv[], int handOn) {
  const pid_t self = getpid();
  (void)!write(report, &self, sizeof self);
  int error = 0;
  const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  // Only this copy of the handed-on descriptor loses its close-on-exec flag.
  if ((handOn >= 0 && fcntl(handOn, F_SETFD, 0) != 0) || input < 0 || dup2(input, STDIN_FILENO) < 0 ||
      dup2(log, STDOUT_FILENO) < 0 || dup2(log, STDERR_FILENO) < 0 || chdir(folder) != 0) {
    error = errno;
  } else {
    execv("/bin/sh", argv);
    error = errno;
  }
  (void)!write(report, &error, sizeof error);
  _exit(127);
}

bool ReadWhole(int fd, void* data, size_t size) {
  auto* bytes = static_cast<char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = read(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

ScriptLaunch LaunchUpdateScript(const std::string& folder, const std::string& argument, ScriptParent parent,
                                int handOn) {
  const std::string script = folder + "/" + kUpdateScript;
  // /bin/sh would start without a script and only complain in the log.
  if (access(script.c_str(), R_OK) != 0) return {errno, 0};
  const int log = open((folder + "/" + kUpdateLog).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (log < 0) return {errno, 0};
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    const int error = errno;
    close(log);
    return {error, 0};
  }

  std::string shell = "sh", name = kUpdateScript, port = argument;
  char* argv[] = {shell.data(), name.data(), port.data(), nullptr};
  // The middle process makes a session of its own for the script and ends at
  // once: the script is then nobody's child here, and no hang-up or signal to
  // the program's terminal or process group reaches the flashing. A child
  // script gets its own session the same way, without the middle.
  const pid_t middle = fork();
  if (middle == 0) {
    close(report[0]);
    setsid();
    if (parent == ScriptParent::Child) RunScript(report[1], log, folder.c_str(), argv, handOn);
    const pid_t runner = fork();
    if (runner == 0) RunScript(report[1], log, folder.c_str(), argv, handOn);
    if (runner < 0) {
      const int error = errno;
      const pid_t none = 0;
      (void)!write(report[1], &none, sizeof none);
      (void)!write(report[1], &error, sizeof error);
    }
    _exit(0);
  }
  const int forkError = middle < 0 ? errno : 0;
  close(report[1]);
  close(log);
  if (middle < 0) {
    close(report[0]);
    return {forkError, 0};
  }
  if (parent == ScriptParent::Detached) {
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

  // The runner's id comes first; an error number after it means no script
  // runs. The end of the pipe without one means the shell was started: the
  // report end closes on exec.
  ScriptLaunch launch;
  if (!ReadWhole(report[0], &launch.pid, sizeof launch.pid)) launch.error = ECHILD;
  int error = 0;
  if (launch.error == 0 && ReadWhole(report[0], &error, sizeof error)) launch.error = error;
  close(report[0]);
  if (launch.error != 0) {
    launch.pid = 0;
    // A child that could not start its script has ended on its own.
    if (parent == ScriptParent::Child) {
      while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }
  return launch;
}

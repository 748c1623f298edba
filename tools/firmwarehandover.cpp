#include "tools/firmwarehandover.h"

#include <sys/wait.h>

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <optional>

#include "tools/firmwarefolder.h"
#include "tools/firmwarelauncher.h"

namespace {

using Clock = std::chrono::steady_clock;

// Serves the event loop for `ms`: timers fire and the windows answer. False
// when the program is ending (its event loops then return at once).
bool ServeFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  return loop.exec() != -1;
}

// The script's exit status, 128 + N when signal N ended it; nullopt while it runs.
std::optional<int> ScriptEnding(pid_t script) {
  int status = 0;
  if (waitpid(script, &status, WNOHANG) != script) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The script's exit status once the tool and the script have ended; nullopt
// when one still ran at the limit (or the program is ending).
std::optional<int> WaitForFlashingTool(const FirmwareWaitRules& rules, pid_t script) {
  const Clock::time_point start = Clock::now();
  // The script needs a moment before its tool shows up in the process list.
  if (!ServeFor(500)) return std::nullopt;
  for (;;) {
    if (!ServeFor(100)) return std::nullopt;
    if (rules.FindProcess(kFlashingToolName) == 0) break;
    if (Clock::now() - start >= rules.Limit) return std::nullopt;
  }
  // The script ends right after its tool; its status is the outcome.
  for (;;) {
    if (const std::optional<int> status = ScriptEnding(script)) return status;
    if (Clock::now() - start >= rules.Limit || !ServeFor(20)) return std::nullopt;
  }
}

}  // namespace

HandOverOutcome HandOverImage(const QString& image, const QString& port, const FirmwareWaitRules& rules,
                              int guard, const std::function<void(bool)>& waiting) {
  const QString folder = FirmwareFolder();
  HandOverOutcome outcome;
  outcome.log = QDir(folder).filePath(QString::fromStdString(kUpdateLog));
  if (!PlaceFirmwareImage(image, folder)) {
    outcome.result = HandOverResult::CopyFailed;
    return outcome;
  }
  const ScriptLaunch launch =
      LaunchUpdateScript(QFile::encodeName(folder).toStdString(), QFile::encodeName(port).toStdString(),
                         ScriptParent::Child, guard);
  if (launch.error != 0) {
    outcome.result = HandOverResult::StartFailed;
    return outcome;
  }
  if (waiting) waiting(true);
  const std::optional<int> status = WaitForFlashingTool(rules, launch.pid);
  if (waiting) waiting(false);
  outcome.status = status.value_or(0);
  outcome.result = !status        ? HandOverResult::StillRunning
                   : *status != 0 ? HandOverResult::ScriptFailed
                                  : HandOverResult::Done;
  return outcome;
}

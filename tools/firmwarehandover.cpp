#include "tools/firmwarehandover.h"

#include <QFile>
#include <thread>

#include "tools/firmwarefolder.h"
#include "tools/firmwarelauncher.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// True when the tool has ended, false when it still ran at the limit.
bool WaitForFlashingTool(const FirmwareWaitRules& rules) {
  const Clock::time_point start = Clock::now();
  // The script needs a moment before its tool shows up in the process list.
  std::this_thread::sleep_for(500ms);
  for (;;) {
    std::this_thread::sleep_for(100ms);
    if (rules.FindProcess(kFlashingToolName) == 0) return true;
    if (Clock::now() - start >= rules.Limit) return false;
  }
}

}  // namespace

HandOverResult HandOverImage(const QString& image, const QString& port, const FirmwareWaitRules& rules,
                             const std::function<void(bool)>& waiting) {
  const QString folder = FirmwareFolder();
  if (!PlaceFirmwareImage(image, folder)) return HandOverResult::CopyFailed;
  const ScriptLaunch launch =
      LaunchUpdateScript(QFile::encodeName(folder).toStdString(), QFile::encodeName(port).toStdString());
  if (launch.error != 0) return HandOverResult::StartFailed;
  if (waiting) waiting(true);
  const bool ended = WaitForFlashingTool(rules);
  if (waiting) waiting(false);
  return ended ? HandOverResult::Done : HandOverResult::StillRunning;
}

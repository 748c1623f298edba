#include "app/firmwareupdate.h"

#include <QApplication>
#include <QFile>
#include <thread>

#include "app/firmwarefolder.h"
#include "app/firmwarelauncher.h"
#include "ui/messagebox.h"

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

void HandOverFirmware(const QString& image, const QString& port, const FirmwareWaitRules& rules) {
  const QString folder = FirmwareFolder();
  if (!PlaceFirmwareImage(image, folder)) {
    ShowMessage(nullptr, kCopyFailedText, MessageKind::Error);
    return;
  }
  const ScriptLaunch launch =
      LaunchUpdateScript(QFile::encodeName(folder).toStdString(), QFile::encodeName(port).toStdString());
  if (launch.error != 0) {
    ShowMessage(nullptr, kStartFailedText, MessageKind::Error);
    return;
  }
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const bool ended = WaitForFlashingTool(rules);
  QApplication::restoreOverrideCursor();
  if (!ended) ShowMessage(nullptr, kStillRunningText);
}

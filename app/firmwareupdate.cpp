#include "app/firmwareupdate.h"

#include <QApplication>

#include "ui/messagebox.h"

void HandOverFirmware(const QString& image, const QString& port, const FirmwareWaitRules& rules) {
  const HandOverResult result = HandOverImage(image, port, rules, [](bool waiting) {
    if (waiting) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
      QApplication::restoreOverrideCursor();
    }
  });
  switch (result) {
    case HandOverResult::CopyFailed:
      ShowMessage(nullptr, kCopyFailedText, MessageKind::Error);
      break;
    case HandOverResult::StartFailed:
      ShowMessage(nullptr, kStartFailedText, MessageKind::Error);
      break;
    case HandOverResult::StillRunning:
      ShowMessage(nullptr, kStillRunningText);
      break;
    case HandOverResult::Done:
      break;
  }
}

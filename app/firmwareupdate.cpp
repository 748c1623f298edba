#include "app/firmwareupdate.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

#include "ui/formstyle.h"
#include "ui/messagebox.h"

namespace {

// A notice, not a dialog to answer: no buttons, no close box, and Escape does
// nothing, since a flash cannot be stopped half-way without harm.
class FirmwareNotice : public QDialog {
 public:
  explicit FirmwareNotice(QWidget* owner)
      : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName(kFirmwareNoticeName);
    setWindowTitle(QStringLiteral("Firmware Update"));
    setFont(FormFont());
    setWindowModality(Qt::ApplicationModal);
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(QStringLiteral("Die Firmware wird geschrieben. Bitte warten und das Gerät nicht "
                                           "abziehen."),
                            this);
    text->setWordWrap(true);
    layout->addWidget(text);
    auto* busy = new QProgressBar(this);
    busy->setRange(0, 0);
    layout->addWidget(busy);
  }
  void reject() override {}

 protected:
  void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

}  // namespace

void HandOverFirmware(QWidget* owner, const QString& image, const QString& port,
                      const FirmwareWaitRules& rules, int guard) {
  FirmwareNotice notice(owner);
  const HandOverOutcome outcome = HandOverImage(image, port, rules, guard, [&notice](bool waiting) {
    if (waiting) {
      QApplication::setOverrideCursor(Qt::WaitCursor);
      notice.show();
    } else {
      notice.hide();
      QApplication::restoreOverrideCursor();
    }
  });
  switch (outcome.result) {
    case HandOverResult::CopyFailed:
      ShowMessage(owner, kCopyFailedText, MessageKind::Error);
      break;
    case HandOverResult::StartFailed:
      ShowMessage(owner, kStartFailedText, MessageKind::Error);
      break;
    case HandOverResult::StillRunning:
      ShowMessage(owner, kStillRunningText);
      break;
    case HandOverResult::ScriptFailed:
      ShowMessage(owner, ScriptFailedText(outcome.status, outcome.log), MessageKind::Error);
      break;
    case HandOverResult::Done:
      break;
  }
}

#include "ui/messagebox.h"

#include <QApplication>
#include <QMessageBox>
#include <utility>

namespace {
MessageHook& Hook() {
  static MessageHook hook;
  return hook;
}
}  // namespace

MessageHook SetMessageHook(MessageHook hook) { return std::exchange(Hook(), std::move(hook)); }

void ShowMessage(const QString& text, MessageKind kind) {
  if (Hook()) {
    Hook()(text, kind);
    return;
  }
  QMessageBox box(kind == MessageKind::Error ? QMessageBox::Critical : QMessageBox::Information,
                  QApplication::applicationDisplayName(), text, QMessageBox::Ok);
  box.exec();
}

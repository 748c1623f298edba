#include "ui/messagebox.h"

#include <QApplication>
#include <QMainWindow>
#include <QMessageBox>
#include <utility>

namespace {
MessageHook& Hook() {
  static MessageHook hook;
  return hook;
}

bool OnScreen(const QWidget* window) { return window && window->isVisible() && !window->isMinimized(); }
}  // namespace

MessageHook SetMessageHook(MessageHook hook) { return std::exchange(Hook(), std::move(hook)); }

// A box without a parent is a window of its own to the window manager, which
// may stack it below a stay-on-top dialog: the user then sees a frozen dialog
// and a modal box nowhere. So every box gets a window on screen as its parent.
QWidget* MessageOwner(QWidget* owner) {
  if (owner && OnScreen(owner->window())) return owner->window();
  if (OnScreen(QApplication::activeModalWidget())) return QApplication::activeModalWidget();
  if (OnScreen(QApplication::activeWindow())) return QApplication::activeWindow();
  for (QWidget* window : QApplication::topLevelWidgets())
    if (qobject_cast<QMainWindow*>(window) && OnScreen(window)) return window;
  return nullptr;
}

void ShowMessage(QWidget* owner, const QString& text, MessageKind kind) {
  if (Hook()) {
    Hook()(text, kind);
    return;
  }
  QMessageBox box(kind == MessageKind::Error ? QMessageBox::Critical : QMessageBox::Information,
                  QApplication::applicationDisplayName(), text, QMessageBox::Ok, MessageOwner(owner));
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

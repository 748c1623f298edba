#include "ui/inputlock.h"

#include <QApplication>
#include <QEvent>
#include <QWidget>

void InputLock::Hold(QWidget* holder) {
  holder_ = holder;
  if (!held_) qApp->installEventFilter(this);
  held_ = true;
}

void InputLock::Release() {
  if (held_ && qApp) qApp->removeEventFilter(this);
  held_ = false;
  holder_ = nullptr;
}

// A window the holder owns (a message box it opened) has the holder among its
// parents. A holder that is not on screen holds nothing: the user could not
// even see why the program takes no input.
bool InputLock::Admits(const QWidget* window) const {
  if (!held_ || !holder_ || !holder_->isVisible()) return true;
  for (const QWidget* w = window; w; w = w->parentWidget())
    if (w->window() == holder_) return true;
  return false;
}

namespace {
bool IsUserInput(const QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::ContextMenu:
    case QEvent::TabletPress:
    case QEvent::TouchBegin:
      return true;
    // The window manager's close button; the program's own close() is not input.
    case QEvent::Close:
      return event->spontaneous();
    default:
      return false;
  }
}
}  // namespace

bool InputLock::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Shortcut) {
    // Sent to the action or shortcut, not to a window: judged by where the user is.
    return !Admits(QApplication::activeWindow());
  }
  if (!IsUserInput(event) || !watched->isWidgetType()) return false;
  return !Admits(static_cast<QWidget*>(watched));
}

#include "ui/inputlock.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QMenuBar>
#include <QWidget>

void InputLock::Hold(QWidget* holder) {
  if (held_ && holder_ != holder) EnableOthers();
  holder_ = holder;
  if (!held_) qApp->installEventFilter(this);
  held_ = true;
  if (holder_ && holder_->isVisible()) DisableOthers();
}

void InputLock::Release() {
  if (held_ && qApp) qApp->removeEventFilter(this);
  EnableOthers();
  held_ = false;
  holder_ = nullptr;
}

namespace {
// A menu's items and, below them, those of its submenus.
void CollectMenuActions(const QList<QAction*>& actions, std::vector<QAction*>& into) {
  for (QAction* action : actions) {
    into.push_back(action);
    if (action->menu()) CollectMenuActions(action->menu()->actions(), into);
  }
}
}  // namespace

// Only windows without a parent are disabled themselves: the windows they own
// follow them. Popups and tool-tips are left alone.
void InputLock::DisableOthers() {
  if (othersDisabled_) return;
  othersDisabled_ = true;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    const Qt::WindowType type = window->windowType();
    if (window == holder_ || window->parentWidget() || (type != Qt::Window && type != Qt::Dialog)) continue;
    if (window->isEnabled()) {
      window->setEnabled(false);
      disabledWindows_.emplace_back(window);
    }
    std::vector<QAction*> items;
    for (QMenuBar* bar : window->findChildren<QMenuBar*>()) CollectMenuActions(bar->actions(), items);
    for (QAction* item : items) {
      if (!item->isEnabled()) continue;
      item->setEnabled(false);
      disabledActions_.emplace_back(item);
    }
  }
}

void InputLock::EnableOthers() {
  for (const QPointer<QAction>& item : disabledActions_)
    if (item) item->setEnabled(true);
  for (const QPointer<QWidget>& window : disabledWindows_)
    if (window) window->setEnabled(true);
  disabledActions_.clear();
  disabledWindows_.clear();
  othersDisabled_ = false;
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
  // The program hides or shows the holder: the others follow its presence.
  if (watched == holder_ && !event->spontaneous()) {
    if (event->type() == QEvent::Hide) EnableOthers();
    if (event->type() == QEvent::Show) DisableOthers();
  }
  if (event->type() == QEvent::Shortcut) {
    // Sent to the action or shortcut, not to a window: judged by where the user is.
    return !Admits(QApplication::activeWindow());
  }
  if (!IsUserInput(event) || !watched->isWidgetType()) return false;
  return !Admits(static_cast<QWidget*>(watched));
}

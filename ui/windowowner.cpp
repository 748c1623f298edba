#include "ui/windowowner.h"

#include <QWidget>
#include <QWindow>

// A widget parent would do the same for the desktop, but it also ties the
// dialog's lifetime and enabled state to the owner: disabling the main window
// during a copy would then disable the copy dialog with it.
void BelongTo(QWidget* dialog, QWidget* owner) {
  if (!dialog || !owner) return;
  // The native windows are made now, so that the link is in place before the
  // dialog is first mapped (X11 reads it from WM_TRANSIENT_FOR at mapping).
  dialog->winId();
  owner->winId();
  if (QWindow* handle = dialog->windowHandle()) handle->setTransientParent(owner->windowHandle());
}

#include "ui/windowactions.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

namespace {
// Qt's X11 platform takes window types beyond those its flags give from this
// property of the QWindow, and lists them ahead of the flags' own type.
constexpr const char* kX11WindowTypes = "_q_xcb_wm_window_type";
constexpr int kX11Toolbar = 0x000008;
}  // namespace

// A fixed size already rules out resizing and maximising. Minimising is the
// hard part: openbox, for one, never lets a client's Motif hints remove the
// minimise button, but offers neither minimise nor maximise for a toolbar
// window. A dialog that could be minimised while the rest of the program
// waits for it would leave the user in front of windows that take no input.
// The window keeps its dialog type behind the toolbar type for window managers
// that do not know the first.
void OfferMoveOnly(QWidget* window) {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return;
  window->winId();
  QWindow* handle = window->windowHandle();
  if (!handle) return;
  handle->setProperty(kX11WindowTypes, kX11Toolbar);
  // The types are written when the flags change: toggle one the window does not use.
  const Qt::WindowFlags flags = handle->flags();
  handle->setFlags(flags | Qt::WindowDoesNotAcceptFocus);
  handle->setFlags(flags);
}

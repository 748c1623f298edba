#pragma once
// Which window a dialog belongs to is told to the desktop, not kept in the
// widget tree: the window system keeps a dialog above the window it belongs
// to (a window manager on X11, the compositor on Wayland, which has no
// stay-on-top for clients), while the dialog stays a window of its own that
// lives, shows and is enabled independently of that window.

class QWidget;

// Makes `owner` the window `dialog` belongs to (its transient parent), on
// every platform. Both are top-level windows; call it once both exist, before
// the dialog is first shown.
void BelongTo(QWidget* dialog, QWidget* owner);

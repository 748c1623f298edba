#pragma once
// What a window offers in its title bar is decided by the window manager.

class QWidget;

// Asks the window manager for a window that can be moved but neither
// minimised, maximised nor resized. Call it once the window is set up, before
// it is first shown. Does nothing where no window manager is asked (Qt's
// offscreen platform) or where the platform has no way to say it.
void OfferMoveOnly(QWidget* window);

#pragma once
// What an accessibility tool (a screen reader, an AT-SPI client) does to a
// menu item: it asks the menu's accessible interface for the item and calls
// the item's press action. No event passes a window on the way.

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QMenu>

// Presses `item` of `menu` as an accessibility tool does. False when Qt offers
// no accessible interface for it (then nothing was pressed).
inline bool PressByAccessibility(QMenu* menu, QAction* item) {
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(menu);
  const int index = menu->actions().indexOf(item);
  if (!list || index < 0) return false;
  QAccessibleInterface* entry = list->child(index);
  QAccessibleActionInterface* actions = entry ? entry->actionInterface() : nullptr;
  if (!actions || !actions->actionNames().contains(QAccessibleActionInterface::pressAction())) return false;
  actions->doAction(QAccessibleActionInterface::pressAction());
  return true;
}

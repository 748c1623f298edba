#pragma once
// Every message box of the program goes through here, so that tests can
// intercept them instead of hanging on a modal box.

#include <QString>
#include <functional>

class QWidget;

enum class MessageKind { Information, Error };

// Shows a box with one "OK" button and waits until the user closes it. The box
// belongs to `owner`'s window: a window manager keeps it above that window
// (stay-on-top windows included) and centres it there. A box without an owner,
// or whose owner is not on screen, belongs to the window the user is at, else
// to the program's main window. It is modal for the whole program.
void ShowMessage(QWidget* owner, const QString& text, MessageKind kind = MessageKind::Information);

// The window a box for `owner` belongs to, as ShowMessage chooses it; null
// when no window of the program is on screen.
QWidget* MessageOwner(QWidget* owner);

// While a hook is set, ShowMessage calls it instead of opening a box. Returns
// the hook it replaces, for putting it back.
using MessageHook = std::function<void(const QString& text, MessageKind kind)>;
MessageHook SetMessageHook(MessageHook hook);

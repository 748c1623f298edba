#pragma once
// Every message box of the program goes through here, so that tests can
// intercept them instead of hanging on a modal box.

#include <QString>
#include <functional>

enum class MessageKind { Information, Error };

// Shows a modal box with one "OK" button and waits until the user closes it.
void ShowMessage(const QString& text, MessageKind kind = MessageKind::Information);

// While a hook is set, ShowMessage calls it instead of opening a box. Returns
// the hook it replaces, for putting it back.
using MessageHook = std::function<void(const QString& text, MessageKind kind)>;
MessageHook SetMessageHook(MessageHook hook);

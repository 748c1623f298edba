#pragma once
// For as long as a window holds the lock, every other window of the program is
// disabled, and shows it: greyed, it takes no click, key, shortcut or
// accessibility action. The items of their menus are disabled too, since an
// accessibility tool triggers a menu item by its action, whatever its window.
// The holder and the windows it owns (its message boxes) work as usual. Timers
// go on, and so do the program's own calls of handlers (a disabled item's
// trigger() and a disabled button's click() do nothing).
//
// What disabling does not stop, the lock drops on its way: the window
// manager's close of another window, a shortcut, and input to a window that
// appears while the lock is held.
//
// Unlike a modal window, the lock can be taken and given back while the
// holder stays on screen. One holder at a time; a second Hold replaces the first.
// While the holder is hidden, the lock admits everything and disables nothing.

#include <QObject>
#include <QPointer>
#include <vector>

class QAction;
class QWidget;

class InputLock : public QObject {
  Q_OBJECT
 public:
  explicit InputLock(QObject* parent = nullptr) : QObject(parent) {}
  ~InputLock() override { Release(); }

  void Hold(QWidget* holder);
  void Release();
  bool Held() const { return held_; }

  // True when `window` may take input while the lock is held.
  bool Admits(const QWidget* window) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void DisableOthers();
  void EnableOthers();

  QPointer<QWidget> holder_;
  bool held_ = false;
  // What this lock disabled, and only that: it is enabled again on release.
  std::vector<QPointer<QWidget>> disabledWindows_;
  std::vector<QPointer<QAction>> disabledActions_;
  bool othersDisabled_ = false;
};

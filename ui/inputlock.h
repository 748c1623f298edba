#pragma once
// For as long as a window holds the lock, no other window of the program takes
// input: clicks, keys, the wheel, shortcuts and the window manager's close are
// dropped on their way to it. The holder and the windows it owns (its message
// boxes) work as usual. Timers and the program's own calls go on.
//
// Unlike a modal window, the lock can be taken and given back while the
// holder stays on screen. One holder at a time; a second Hold replaces the first.
// While the holder is hidden, the lock admits everything.

#include <QObject>
#include <QPointer>

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
  QPointer<QWidget> holder_;
  bool held_ = false;
};

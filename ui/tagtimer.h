#pragma once
// A timer with an integer tag, as the dialogs' timer-driven sequences use it:
// the tag holds the sequence's state (or its running flag), because every tick
// switches the timer off and only the tick's own last step arms it again.

#include <QTimer>
#include <cstdint>

class TTimer : public QTimer {
 public:
  using QTimer::QTimer;
  int32_t Tag = 0;
};

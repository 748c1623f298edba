#pragma once
// The command channel keeps its state at module level, as the program keeps it
// for its whole run: whether a query waits, its answer, the connection text,
// the abandoned-waits flag of the program's end, the attached port. A test
// binary runs many tests in one process, in any order (--gtest_shuffle); each
// fixture that reaches the channel puts it back as the program starts it, so
// that no test sees what an earlier one, or the program's end in it, left.
#include "link/devicelink.h"

inline void ResetChannelState() {
  DeviceLink::Attach(nullptr);
  DeviceLink::AnswerState = 0;
  DeviceLink::AnswerText.clear();
  DeviceLink::AnswerTicks = 0;
  DeviceLink::ConnectionText = DeviceLink::kNotConnected;
  DeviceLink::WaitsAbandoned = false;
}

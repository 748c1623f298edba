#pragma once
// During a run an accessibility tool presses "Test / Kalibrieren" and
// "Com Port" of the greyed main window: neither may open its dialog nor send
// anything to the device.

#include <gtest/gtest.h>

#include <string>

#include "app/comportselect.h"
#include "app/forms.h"
#include "app/mainprog.h"
#include "devsim/devicesimulator.h"
#include "tests/app/accessiblepress.h"
#include "tests/support/eventwait.h"
#include "tools/test.h"

inline void ExpectHeldMenuPressesToDoNothing(devsim::DeviceSimulator& sim) {
  const std::string before = sim.Received();
  ASSERT_TRUE(PressByAccessibility(Form1->Funktionen1, Form1->Kalibrieren1));
  ASSERT_TRUE(PressByAccessibility(Form1->Einstellungen1, Form1->ComPort1));
  // A press that got through opens its dialog at once, and the calibration
  // dialog's first command leaves at its showing; over a pty it reaches the
  // simulator within milliseconds.
  ProcessFor(300);
  EXPECT_FALSE(Form5->isVisible());
  EXPECT_FALSE(Form2->isVisible());
  EXPECT_EQ(sim.Received(), before);
}

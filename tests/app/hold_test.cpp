// A copy run holds the whole program, visibly: every other window is greyed
// and refuses what a disabled window refuses, accessibility actions on its menu
// items included; its end gives everything back as it was.

#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QWindow>
#include <chrono>

#include "app/comportselect.h"
#include "app/info.h"
#include "devsim/devicesimulator.h"
#include "speech/sprachdat.h"
#include "speech/voicecopy.h"
#include "tests/app/apptest.h"
#include "tests/app/heldmenupresses.h"
#include "tools/ntpsync.h"
#include "tools/test.h"

namespace {

using namespace std::chrono_literals;

// Every window's and every menu item's enabled state, in a fixed order.
std::vector<bool> EnabledStates() {
  std::vector<bool> states;
  for (QWidget* window : std::initializer_list<QWidget*>{Form1, Form2, Form3, Form5, Form6, Form7})
    states.push_back(window->isEnabled());
  for (QAction* top : Form1->MainMenu1->actions()) {
    states.push_back(top->isEnabled());
    for (QAction* item : top->menu()->actions()) states.push_back(item->isEnabled());
  }
  return states;
}

class CopyHold : public ProgramWindows {
 protected:
  devsim::DeviceSimulator sim;

  void SetUp() override {
    ProgramWindows::SetUp();
    UseLister({sim.PortPath()});
    RunStartup();
    ASSERT_TRUE(Form1->SerialPort1->Active());
  }

  // A run of one entry that plays until the test ends it, started while the
  // update dialog is open.
  void StartLongRun() {
    audio.lengthOfNewStreams = 44100 * 600;
    Form1->Sprachdatenbertragen1->trigger();
    Form4->SetCopyList({"speechset\\deutsch\\eins.wav"});
    Form4->show();
    ASSERT_TRUE(ProcessUntil([] { return Form4->Timer1->Tag == TForm4::TrackPlayback && CopyStream != 0; },
                             kFaultMs));
  }
};

TEST_F(CopyHold, GreysEveryOtherWindowAndItsMenuItemsAndTheEndGivesThemBack) {
  Form1->Info1->trigger();  // an open form beside the main window
  const std::vector<bool> before = EnabledStates();
  StartLongRun();

  for (QWidget* window : std::initializer_list<QWidget*>{Form1, Form2, Form3, Form5, Form6, Form7})
    EXPECT_FALSE(window->isEnabled()) << window->windowTitle().toStdString();
  EXPECT_FALSE(Form1->MainMenu1->isEnabled());
  EXPECT_FALSE(Form1->StatusBar1->isEnabled());
  EXPECT_FALSE(Form1->Kalibrieren1->isEnabled());
  EXPECT_TRUE(Form4->isEnabled());
  EXPECT_TRUE(Form4->BitBtn1->isEnabled());

  // After success the dialog waits for "OK": the run is over, the rest is back.
  audio.Finish(CopyStream);
  ASSERT_TRUE(ProcessUntil([] { return Form4->BitBtn2->isEnabled(); }, kFaultMs));
  EXPECT_EQ(EnabledStates(), before);
  Form4->BitBtn2->click();
  EXPECT_EQ(EnabledStates(), before);
}

TEST_F(CopyHold, AnAccessibilityPressOnAMenuItemDuringARunOpensNothingAndSendsNothing) {
  StartLongRun();
  ASSERT_NO_FATAL_FAILURE(ExpectHeldMenuPressesToDoNothing(sim));
  EXPECT_TRUE(Form1->SerialPort1->Active());
  EXPECT_TRUE(Form4->RunHoldsProgram());

  // Cancelled, the run gives the items back: the same press now opens the dialog.
  Form4->BitBtn1->click();
  ASSERT_TRUE(PressByAccessibility(Form1->Funktionen1, Form1->Kalibrieren1));
  EXPECT_TRUE(Form5->isVisible());
}

TEST_F(CopyHold, EveryDialogBelongsToTheMainWindow) {
  for (QWidget* dialog : std::initializer_list<QWidget*>{Form2, Form3, Form4, Form5, Form6, Form7}) {
    ASSERT_NE(dialog->windowHandle(), nullptr) << dialog->windowTitle().toStdString();
    EXPECT_EQ(dialog->windowHandle()->transientParent(), Form1->windowHandle())
        << dialog->windowTitle().toStdString();
    EXPECT_EQ(dialog->parentWidget(), nullptr) << "a widget parent would tie its enabled state to the main window";
  }
}

}  // namespace

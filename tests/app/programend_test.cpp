// How the program ends: no handler of the main window runs once it is going,
// and the device is left as it was found.

#include <QElapsedTimer>
#include <chrono>
#include <thread>

#include "devsim/devicesimulator.h"
#include "tests/app/apptest.h"
#include "tools/test.h"

using namespace std::chrono_literals;

using ProgramEndDeathTest = ProgramWindows;

// The worker holds a cluster for the user-interface thread while the main
// window is deleted: the component serves it during its own destruction, after
// the window has let go of it.
TEST_F(ProgramEndDeathTest, AClusterWaitingForTheUiThreadWhenTheWindowGoesCrashesNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Pty device;
        UseLister({device.SlavePath()});
        RunStartup();
        if (!Form1->SerialPort1->Active()) std::exit(2);
        // The idle worker picks the open port up within 400 ms; once it reports
        // the queue empty it is in its active loop.
        if (!ProcessUntil([] { return Form1->SerialPort1->WorkerBusy(); }, 5000)) std::exit(3);
        if (write(device.Master(), "512\r\n", 5) != 5) std::exit(4);
        // Hold the user-interface thread, without serving anything, until the
        // worker has queued the cluster and waits for its delivery.
        QElapsedTimer held;
        held.start();
        while (Form1->SerialPort1->ClusterCount() == 0) {
          if (held.elapsed() > 5000) std::exit(5);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        DestroyForms();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

namespace {

// The program's windows on the device simulator, with the test dialog shown and
// its clock test running.
class EndWithClockTestRunning : public ProgramWindows, public testing::WithParamInterface<const char*> {
 protected:
  devsim::DeviceSimulator device;

  void SetUp() override {
    ProgramWindows::SetUp();
    UseLister({device.PortPath()});
    RunStartup();
    ASSERT_TRUE(Form1->SerialPort1->Active());
    Form1->Kalibrieren1->trigger();
    Form5->BitBtn4->click();
    ASSERT_TRUE(device.WaitForReceived(2, 2s));
    ASSERT_EQ(device.Received(), "*D");
  }

  // Runs the message loop as the program entry does, ends it the way the
  // parameter names, and destroys the windows as the entry does after it.
  void EndTheProgram() {
    const std::string how = GetParam();
    QTimer::singleShot(0, [how] {
      if (how == "Ende")
        Form1->Ende1->trigger();
      else
        Form1->close();
    });
    QTimer stuck;  // ends the loop with another code should the program not end it
    stuck.setSingleShot(true);
    QObject::connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    stuck.start(5000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    stuck.stop();
    DestroyForms();
  }
};

TEST_P(EndWithClockTestRunning, StopsTheClockTestAndLeavesServiceModeBeforeThePortCloses) {
  EndTheProgram();
  ASSERT_TRUE(device.WaitForPortEvents(1, 1, 2s));
  EXPECT_EQ(device.Received(), "*DE{");
  EXPECT_FALSE(device.State().rtcTest);
  EXPECT_FALSE(device.State().serviceMode);
  EXPECT_EQ(RtcTestRunning, 0);
}

INSTANTIATE_TEST_SUITE_P(EndeAndCloseBox, EndWithClockTestRunning, testing::Values("Ende", "CloseBox"));

}  // namespace

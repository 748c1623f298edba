// How the program ends: no handler of the main window runs once it is going,
// and the device is left as it was found.

#include <QElapsedTimer>
#include <chrono>
#include <thread>

#include "tests/app/apptest.h"

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

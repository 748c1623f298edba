// A pulled device through the program's windows, with the device simulator
// announced as a virtual port: the status says so at once, and the program
// connects again by itself when the device comes back under the same link;
// the test dialog's converter cycle goes on with its next query.

#include <sys/ioctl.h>

#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

#include "devsim/devicesimulator.h"
#include "tests/app/apptest.h"
#include "tests/support/slowbuild.h"
#include "tools/test.h"

using namespace std::chrono_literals;

namespace {

class PulledDevice : public ProgramWindows {
 protected:
  std::unique_ptr<devsim::DeviceSimulator> device = std::make_unique<devsim::DeviceSimulator>();
  std::string link;

  void SetUp() override {
    ProgramWindows::SetUp();
    link = tree.PortsFolder() + "/vellamo-devsim-test";
    std::filesystem::create_symlink(device->PortPath(), link);
    UseFakeTree();
    RunStartup();
    ASSERT_EQ(Status(), Connected());
  }

  QString Connected() const { return "Verbunden auf " + QString::fromStdString(link) + "."; }

  // As a simulator started anew announces itself: the link is replaced at once.
  void PlugInAgain(const devsim::DeviceSimulator& again) {
    const std::string fresh = link + ".new";
    std::filesystem::create_symlink(again.PortPath(), fresh);
    std::filesystem::rename(fresh, link);
  }

  // When `condition` first held after `since` started, or -1 when it did not
  // within 5 s. It is looked at from inside the event loop: a converter cycle
  // waits for the device in nested loops, and the test's own loop would only
  // look again once the cycle has ended.
  static qint64 FirstSeen(const std::function<bool()>& condition, const QElapsedTimer& since) {
    qint64 seen = -1;
    QTimer look;
    look.setInterval(5);
    QObject::connect(&look, &QTimer::timeout, [&] {
      if (seen < 0 && condition()) seen = since.elapsed();
    });
    look.start();
    ProcessUntil([&] { return seen >= 0; }, 5000);
    return seen;
  }

  bool BarsShow(int light, int audio) {
    return ProcessUntil(
        [&] { return Form5->ProgressBar1->value() == light && Form5->ProgressBar2->value() == audio; }, 5000);
  }
};

TEST_F(PulledDevice, IsShownAsNotConnectedAndReconnectedWhenItComesBackAndTheConverterTestGoesOn) {
  Form1->show();
  device->SetValues('A', {100});
  device->SetValues('B', {600});
  Form1->Kalibrieren1->trigger();
  Form5->BitBtn2->click();  // "ADC Test"
  ASSERT_TRUE(BarsShow(1023 - 100, 600));

  QElapsedTimer pulled;
  pulled.start();
  device->Unplug();
  const qint64 shown = FirstSeen([&] { return Status() == "Nicht verbunden."; }, pulled);
  ASSERT_GE(shown, 0);
  RecordProperty("ms until shown as not connected", static_cast<int>(shown));
  EXPECT_LT(shown, 1000);
  ASSERT_TRUE(ProcessUntil([&] { return !Form1->SerialPort1->Active(); }, 5000));
  RefreshStatus();
  EXPECT_TRUE(StatusTip().contains(QString::fromStdString(link))) << StatusTip().toStdString();
  EXPECT_TRUE(StatusTip().contains("getrennt"));
  EXPECT_TRUE(StatusTip().contains("von selbst"));
  EXPECT_TRUE(Form1->StatusIcon->isVisible());

  auto again = std::make_unique<devsim::DeviceSimulator>();
  again->SetValues('A', {200});
  again->SetValues('B', {300});
  QElapsedTimer replugged;
  replugged.start();
  PlugInAgain(*again);
  const qint64 connected = FirstSeen([&] { return Status() == Connected(); }, replugged);
  ASSERT_GE(connected, 0);
  RecordProperty("ms until connected again", static_cast<int>(connected));
  EXPECT_LT(connected, 2000);
  EXPECT_TRUE(Form1->SerialPort1->Active());
  // The cycle that was running goes on: its next queries reach the device now.
  EXPECT_TRUE(BarsShow(1023 - 200, 300));
  EXPECT_NE(again->Received().find("AB"), std::string::npos);
  RefreshStatus();
  EXPECT_TRUE(StatusTip().isEmpty());
  EXPECT_TRUE(Form1->StatusIcon->isHidden());
  // Counted before the hide: its "{" may have arrived by the time hide returns.
  const size_t before = again->Received().size();
  Form5->hide();
  ASSERT_TRUE(ProcessUntil([&] { return again->Received().find('{', before) != std::string::npos; }, 5000));
  device = std::move(again);
}

// Another program holds the device for a moment as it comes back (on a
// desktop, ModemManager probes every new modem port). Letting go of it changes
// nothing on its path, yet the program takes it up at once and says meanwhile
// that it is busy.
TEST_F(PulledDevice, ABusyDeviceThatComesBackIsTakenUpOnceLetGo) {
  device->Unplug();
  ASSERT_TRUE(ProcessUntil([&] { return DeviceLink::AwaitingReturn(); }, 5000));
  auto again = std::make_unique<devsim::DeviceSimulator>();
  // Held as another program holds a port: a lock and exclusive use.
  const int holder = ::open(again->PortPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
  PlugInAgain(*again);
  EXPECT_TRUE(ProcessUntil([&] { return StatusTip().contains("belegt"); }, 5000)) << StatusTip().toStdString();
  EXPECT_EQ(Status(), "Nicht verbunden.");
  EXPECT_FALSE(Form1->SerialPort1->Active());

  QElapsedTimer released;
  released.start();
  ioctl(holder, TIOCNXCL);
  flock(holder, LOCK_UN);
  ::close(holder);
  const qint64 taken = FirstSeen([&] { return Form1->SerialPort1->Active(); }, released);
  ASSERT_GE(taken, 0) << "never taken up";
  RecordProperty("ms from letting go until taken up", static_cast<int>(taken));
  if (!kSanitizedBuild) {
    EXPECT_LT(taken, 1000);
  }
  EXPECT_TRUE(ProcessUntil([&] { return Status() == Connected(); }, 5000)) << Status().toStdString();
  EXPECT_FALSE(DeviceLink::AwaitingReturn());
  device = std::move(again);
}

TEST_F(PulledDevice, ChoosingComPortMeanwhileEndsTheWaitForIt) {
  device->Unplug();
  ASSERT_TRUE(ProcessUntil([&] { return DeviceLink::AwaitingReturn(); }, 5000));
  Form1->ComPort1->trigger();
  EXPECT_FALSE(DeviceLink::AwaitingReturn());
  devsim::DeviceSimulator again;
  PlugInAgain(again);
  RefreshStatus();
  EXPECT_EQ(Status(), "Nicht verbunden.");
  EXPECT_FALSE(Form1->SerialPort1->Active()) << "the port dialog, not the old device, decides now";
}

}  // namespace

// The start-up connection against the device simulator announced as a virtual
// port: the program connects to it with no user action, sets the device's line
// settings, and its queries are answered. Only the simulator's ptys are opened.

#include <signal.h>
#include <sys/wait.h>
#include <termios.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <vector>

#include "devsim/devicesimulator.h"
#include "devsim/virtualports.h"
#include "tests/app/apptest.h"
#include "tests/support/faulttime.h"
#include "tests/support/slowbuild.h"

using namespace std::chrono_literals;

using StartupWithSimulator = ProgramWindows;

TEST_F(StartupWithSimulator, ConnectsToTheAnnouncedSimulatorAt38400EightNoneOneRaw) {
  devsim::DeviceSimulator device;
  devsim::PortAnnouncement announced(tree.PortsFolder(), "vellamo-devsim-test", device.PortPath());
  UseFakeTree();
  RunStartup();

  EXPECT_EQ(Form2->ComboBox1->currentText(), QString::fromStdString(announced.LinkPath()));
  ASSERT_TRUE(Form1->SerialPort1->Active());
  EXPECT_EQ(Status(), "Verbunden auf " + QString::fromStdString(announced.LinkPath()) + ".");

  const termios seen = device.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&seen), speed_t(B38400));
  EXPECT_EQ(cfgetispeed(&seen), speed_t(B38400));
  EXPECT_EQ(seen.c_cflag & CSIZE, tcflag_t(CS8));
  EXPECT_EQ(seen.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
  EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
  EXPECT_EQ(seen.c_iflag & (IXON | IXOFF), tcflag_t(0));

  EXPECT_EQ(DeviceLink::ReadAudioLevel(), 150);
  EXPECT_EQ(DeviceLink::ReadLightLevel(), 512);
  EXPECT_EQ(DeviceLink::StartRecording(), 0);
  EXPECT_EQ(device.Received(), "BAI");
}

TEST_F(StartupWithSimulator, ComPortAndOkReconnectToTheSimulator) {
  devsim::DeviceSimulator device;
  devsim::PortAnnouncement announced(tree.PortsFolder(), "vellamo-devsim-test", device.PortPath());
  UseFakeTree();
  RunStartup();
  ASSERT_TRUE(Form1->SerialPort1->Active());
  Form1->ComPort1->trigger();
  EXPECT_FALSE(Form1->SerialPort1->Active());
  Form2->BitBtn1->click();
  EXPECT_TRUE(Form1->SerialPort1->Active());
  EXPECT_EQ(DeviceLink::ReadAudioLevel(), 150);
}

// The simulator program, announcing itself by the folder rule of a private
// runtime folder, is found by the enumeration's own default for that folder.
TEST_F(StartupWithSimulator, TheSimulatorProgramsAnnouncementIsFoundAndGoneWhenItEnds) {
  // Waiting for the simulator runs the event loop: the start-up connection
  // must not fire before it lists the simulator's folder.
  Form1->Timer2->stop();
  QTemporaryDir runtime;
  ASSERT_TRUE(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
  qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
  const std::string folder = VirtualPortFolder();

  PortEnumRoots roots = tree.Roots();
  roots.VirtualFolder = VirtualPortFolder();
  Form2->ListPorts = [roots](std::vector<PortInfo>& list) { EnumSerialPorts(list, roots); };

  // The waits below block without the event loop, so nothing but the
  // simulator's announcement decides what the start-up connection finds.
  QProcess simulator;
  simulator.setProgram(ProgramFolder() + "vellamo-devsim");
  simulator.setArguments({"--name", "vellamo-devsim-e2e"});
  simulator.start();
  ASSERT_TRUE(simulator.waitForStarted(5000));
  while (!simulator.canReadLine() && simulator.waitForReadyRead(5000)) {
  }
  ASSERT_TRUE(simulator.canReadLine());
  const QString slave = QString::fromLocal8Bit(simulator.readLine()).trimmed();
  EXPECT_TRUE(slave.startsWith("/dev/pts/"));

  Form1->Timer2->start();
  RunStartup();
  const QString link = QString::fromStdString(folder + "/vellamo-devsim-e2e");
  EXPECT_EQ(Status(), "Verbunden auf " + link + ".");
  EXPECT_EQ(DeviceLink::ReadLightLevel(), 512);

  DeviceLink::CloseDevicePort();
  simulator.terminate();
  EXPECT_TRUE(simulator.waitForFinished(5000));
  EXPECT_FALSE(QFileInfo(link).isSymLink());
  std::vector<PortInfo> after;
  EnumSerialPorts(after, roots);
  EXPECT_TRUE(after.empty());
  savedRuntime.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", savedRuntime);
}

namespace {

bool ProcessHolds(qint64 pid, const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code ignored;
    if (fs::read_symlink(fd.path(), ignored) == path) return true;
  }
  return false;
}

}  // namespace

// The program as installed, started beside the simulator program: how long
// until it holds the simulator's pty. Goal: a median of 80 ms on a quiet
// machine (bench/startup). 500 ms stays clear of a loaded machine and still
// catches a start-up that waits for something it does not need first. The
// machine's real ports are listed but only the last entry, the simulator's
// link, is opened, as at every start.
TEST(StartupGoal, TheProgramHoldsTheSimulatorsPortSoonAfterItStarts) {
  QTemporaryDir runtime;
  ASSERT_TRUE(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  // The test's sound server, if there is one, stays reachable, as a desktop's
  // is: the start-up then opens the sound output as it usually does.
  const QString pulse = environment.value("XDG_RUNTIME_DIR") + "/pulse/native";
  if (!environment.contains("PULSE_SERVER") && QFileInfo::exists(pulse))
    environment.insert("PULSE_SERVER", "unix:" + pulse);
  environment.insert("XDG_RUNTIME_DIR", runtime.path());
  environment.insert("QT_QPA_PLATFORM", "offscreen");

  QProcess simulator;
  simulator.setProcessEnvironment(environment);
  simulator.start(TestProgramFolder() + "vellamo-devsim", {"--name", "vellamo-startup-goal"});
  ASSERT_TRUE(simulator.waitForStarted(kFaultMs));
  while (!simulator.canReadLine() && simulator.waitForReadyRead(kFaultMs)) {
  }
  const std::string pty = QString::fromLocal8Bit(simulator.readLine()).trimmed().toStdString();
  ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;

  std::vector<double> startsMs;
  for (int start = 0; start < 5; ++start) {
    QProcess program;
    program.setProcessEnvironment(environment);
    program.setStandardOutputFile(QProcess::nullDevice());
    program.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer took;
    took.start();
    program.start(TestProgramFolder() + "vellamo", {});
    ASSERT_TRUE(program.waitForStarted(kFaultMs));
    while (!ProcessHolds(program.processId(), pty) && took.elapsed() < kFaultMs) QThread::usleep(500);
    startsMs.push_back(took.nsecsElapsed() / 1e6);
    // Killed, not asked to end: its end is not under test here, and a
    // sanitizer build would judge the offscreen platform's allocations at exit.
    program.kill();
    program.waitForFinished(kFaultMs);
    ASSERT_LT(startsMs.back(), kFaultMs) << "start " << start << " never held " << pty;
  }
  simulator.terminate();
  EXPECT_TRUE(simulator.waitForFinished(kFaultMs));

  std::sort(startsMs.begin(), startsMs.end());
  const double median = startsMs[startsMs.size() / 2];
  RecordProperty("median start to open port ms", static_cast<int>(median));
  if (!kSanitizedBuild) {
    EXPECT_LE(median, 500) << "fastest " << startsMs.front() << " ms, slowest " << startsMs.back() << " ms";
  }
}

#pragma once
// Shared by the window tests: the program's windows over a fake port tree,
// ptys that stand in for serial devices, and waiting on Qt's event loop.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QString>
#include <QTimer>
#include <string>

#include "app/comportselect.h"
#include "app/forms.h"
#include "app/mainprog.h"
#include "link/devicelink.h"
#include "serial/serialport.h"
#include "tests/app/faketree.h"
#include "tests/speech/fakeaudiooutput.h"
#include "tests/support/channelstate.h"
#include "tests/support/eventwait.h"
#include "tools/test.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

// The program folder of this build: tests read the pictures from it and start
// the simulator program in it.
inline QString TestProgramFolder() {
  const QString fromEnvironment = qEnvironmentVariable("VELLAMO_PROGRAM_DIR");
  return fromEnvironment.isEmpty() ? QStringLiteral(VELLAMO_TEST_PROGRAM_DIR) : fromEnvironment;
}

// A pty pair: the test holds the master, the program opens the slave.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) slave_ = ptsname(master_);
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  const std::string& SlavePath() const { return slave_; }
  int Master() const { return master_; }

  // True when the slave side is closed by everyone: the master polls hung up.
  bool SlaveClosed(int timeoutMs = 0) const {
    pollfd p{master_, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLHUP);
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// A port known by its name only, as a test lists it.
inline PortInfo Named(const std::string& path) {
  PortInfo port;
  port.Path = path;
  return port;
}

// Creates the seven windows as the program entry does, with the start-up
// connection pointed at a fake tree (never at this machine's ports), and
// destroys them again.
class ProgramWindows : public testing::Test {
 protected:
  void SetUp() override {
    ResetProgramState();
    OverrideProgramFolder(programFolder);
    // The speech dialogs open the sound output when created; most of these
    // tests are about the windows, not about the sound server of the machine.
    if (fakeSound) {
      UseAudioOutput(&audio);
      UseOutputLevel(&level);
    }
    previousHook_ = SetMessageHook([this](const QString& text, MessageKind) { messages.push_back(text); });
    CreateForms();
    // Before any event is processed, so Timer2 can only see the fake tree.
    UseFakeTree();
  }
  void TearDown() override {
    DestroyForms();
    SetMessageHook(previousHook_);
    UseAudioOutput(nullptr);
    UseOutputLevel(nullptr);
    OverrideProgramFolder(QString());
    ResetProgramState();
  }

  // What the program keeps at module level beyond its windows: the command
  // channel (ending the program abandons its waits for good) and the test
  // dialog's clock test flag.
  static void ResetProgramState() {
    ResetChannelState();
    RtcTestRunning = 0;
  }

  void UseFakeTree() {
    PortEnumRoots roots = tree.Roots();
    Form2->ListPorts = [roots](std::vector<PortInfo>& list) { EnumSerialPorts(list, roots); };
  }
  void UseLister(std::vector<std::string> found) {
    Form2->ListPorts = [found](std::vector<PortInfo>& list) {
      for (const auto& name : found) list.push_back(Named(name));
    };
  }

  // Runs the event loop until the start-up timer has fired and the status bar
  // has been refreshed once after it.
  void RunStartup() {
    ASSERT_TRUE(ProcessUntil([] { return !Form1->Timer2->isActive(); }, 2000));
    // A query right after the connection must not spend its time-out on the
    // worker's idle nap.
    if (Form1->SerialPort1->Active()) {
      ASSERT_TRUE(ProcessUntil([] { return Form1->SerialPort1->WorkerBusy(); }, 2000));
    }
    RefreshStatus();
  }
  void RefreshStatus() {
    // The status shows what Timer1 last copied; wait for its next tick.
    Form1->StatusPanel->setText(QString());
    ASSERT_TRUE(ProcessUntil([] { return !Form1->StatusPanel->text().isEmpty(); }, 2000));
  }
  QString Status() const { return Form1->StatusPanel->text(); }
  // The tool-tip's text; its lines are broken between words, at spaces.
  QString StatusTip() const { return Form1->StatusBar1->toolTip().replace('\n', ' '); }
  QStringList ComboItems() const {
    QStringList items;
    for (int i = 0; i < Form2->ComboBox1->count(); ++i) items << Form2->ComboBox1->itemText(i);
    return items;
  }

  // Set before SetUp by a test that brings its own program folder or plays
  // through the real sound output.
  QString programFolder = TestProgramFolder();
  bool fakeSound = true;

  FakePortTree tree;
  std::vector<QString> messages;
  FakeAudioOutput audio;
  FakeOutputLevel level;
  MessageHook previousHook_;
};

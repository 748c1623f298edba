#pragma once
// The windows as the program entry makes them, the main window on a real
// screen (X11 or Wayland), the device simulator on a pty as the open port.
// Message boxes are real.

#include <QGuiApplication>
#include <QProcess>
#include <QStringList>

#include "devsim/devicesimulator.h"
#include "speech/voicecopy.h"
#include "tests/app/apptest.h"

inline QString RunTool(const QString& program, const QStringList& arguments,
                       const QString& workingFolder = QString()) {
  QProcess process;
  process.setWorkingDirectory(workingFolder);
  process.start(program, arguments);
  process.waitForFinished(10000);
  return QString::fromLocal8Bit(process.readAllStandardOutput());
}

class OnScreenProgram : public ProgramWindows {
 protected:
  devsim::DeviceSimulator sim;

  // Skipped with the reason, never passed, on any other platform.
  void SetUpOn(const char* platform, const char* howToRun) {
    if (QGuiApplication::platformName() != QLatin1String(platform)) GTEST_SKIP() << howToRun;
    ProgramWindows::SetUp();
    SetMessageHook(nullptr);
    Form1->show();
    ASSERT_TRUE(ProcessUntil([] { return !Form1->Timer2->isActive(); }, kFaultMs));
    DeviceLink::OpenDevicePort(QString::fromStdString(sim.PortPath()));
    Form1->Timer1Timer();  // the status bar's tip says why a port did not open
    ASSERT_TRUE(Form1->SerialPort1->Active()) << sim.PortPath() << ": " << Form1->StatusBar1->toolTip().toStdString();
    // A query right after the opening must not spend its time-out on the worker's idle nap.
    ASSERT_TRUE(ProcessUntil([] { return Form1->SerialPort1->WorkerBusy(); }, kFaultMs));
  }
  void StartCopy(const QStringList& entries) {
    Form4->SetCopyList(entries);
    Form4->show();
  }

  // The folder VELLAMO_SCREENSHOTS names, empty when screenshots are not asked for.
  static QString ScreenshotFolder() { return qEnvironmentVariable("VELLAMO_SCREENSHOTS"); }
};

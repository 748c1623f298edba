#pragma once
// TForm1: the main window. Owns the device's serial port SerialPort1 and the
// three timers that drive the status display (Timer1), the start-up
// connection (Timer2) and the command channel's time-out (Timer3); its menu
// opens every other window.

#include <QMainWindow>
#include <cstdint>
#include <memory>
#include <string>

#include "app/comportselect.h"
#include "app/firmwareupdate.h"

class QAction;
class QFileDialog;
class QLabel;
class QMenu;
class QStatusBar;
class QTimer;
class TSerialPort;

class TForm1 : public QMainWindow {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  QLabel* Image1;  // background, 641 x 385 at the top left
  QStatusBar* StatusBar1;
  QLabel* StatusIcon;   // a warning sign before panel 0 while the tool-tip says why it is not connected
  QLabel* StatusPanel;  // panel 0: ConnectionText, shown whole
  QMenuBar* MainMenu1;
  QMenu* Datei1;
  QMenu* Funktionen1;
  QMenu* Einstellungen1;
  QMenu* Hilfe1;
  QAction* Ende1;
  QAction* Sprachdatenbertragen1;
  QAction* NTPSync1;
  QAction* N1;  // separator
  QAction* Kalibrieren1;
  QAction* FirmwareUpdate1;
  QAction* Sprache1;
  QAction* ComPort1;
  QAction* Handbuch1;
  QAction* Info1;
  QFileDialog* OpenDialog1;  // "Flash File (*.hex)", for the firmware update
  QTimer* Timer1;            // 250 ms: status refresh
  QTimer* Timer2;            // 10 ms, once: start-up connection
  QTimer* Timer3;            // 100 ms: the command channel's time-out tick
  std::unique_ptr<TSerialPort> SerialPort1;

  // How the firmware update waits for the flashing tool; tests point it at a
  // fake process list.
  FirmwareWaitRules FirmwareWait;

  void FormCreate();
  void Timer1Timer();
  void Timer2Timer();
  void Timer3Timer();
  void SerialPort1RxClusterEvent(TSerialPort* sender);
  // Keeps why the port is not connected (it did not open, or its device was
  // pulled), for the status bar's tool-tip; a pulled device is waited for to
  // come back. Nothing else is done with reports.
  void SerialPort1ProcessError(TSerialPort* sender, uint32_t place, uint32_t code, const std::string& msg,
                               uint8_t noise);

  // The one way the program ends: "Ende", the close box and a termination
  // signal all come here. Every shown dialog is hidden first, while the port is
  // still open, so that each leaves the device as it found it (the test dialog
  // stops the clock test and leaves service mode); then the message loop ends,
  // and the port closes when the windows are destroyed.
  void EndProgram();

  void Ende1Click();
  void Sprachdatenbertragen1Click();
  void NTPSync1Click();
  void Kalibrieren1Click();
  void FirmwareUpdate1Click();
  void ComPort1Click();
  void Info1Click();

 protected:
  // Closing the main window ends the program, whatever dialogs are open.
  void closeEvent(QCloseEvent* event) override;

 private:
  QString statusReason_;  // why the port is not connected; empty once it is
  bool handingOver_ = false;  // a firmware hand-over waits for its tool
};

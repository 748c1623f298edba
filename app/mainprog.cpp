#include "app/mainprog.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QStatusBar>
#include <QTimer>
#include <QToolTip>

#include "app/forms.h"
#include "app/info.h"
#include "app/jpegimage.h"
#include "link/devicelink.h"
#include "link/firmwareguard.h"
#include "serial/portfailure.h"
#include "serial/serialport.h"
#include "speech/sprachdat.h"
#include "speech/voicecopy.h"
#include "tools/firmwareimage.h"
#include "tools/ntpsync.h"
#include "tools/test.h"
#include "ui/formstyle.h"
#include "ui/glyphs.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"
#include "ui/wraptext.h"

namespace {

constexpr int kClientWidth = 640;
constexpr int kClientHeight = 404;
constexpr int kStatusBarHeight = 19;
// The status bar's tool-tip wraps here rather than running across the screen.
constexpr int kToolTipWidth = 400;
constexpr int kStatusIconSize = 16;

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("Vellamo 2.2"));
  setFont(FormFont());

  auto* client = new QWidget(this);
  setCentralWidget(client);
  Image1 = new QLabel(client);
  Image1->setGeometry(0, 0, 641, 385);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // Without its picture the window is plain, but the program works as ever.
  const QImage background = DecodeJpegFile(ProgramFolder() + QStringLiteral("pictures/background.jpg"));
  if (!background.isNull()) Image1->setPixmap(QPixmap::fromImage(background));

  StatusBar1 = new QStatusBar(this);
  StatusBar1->setSizeGripEnabled(false);
  StatusBar1->setFixedHeight(kStatusBarHeight);
  StatusBar1->setAutoFillBackground(true);
  QPalette light = StatusBar1->palette();
  light.setColor(QPalette::Window, light.color(QPalette::Midlight));
  StatusBar1->setPalette(light);
  StatusIcon = new QLabel;
  StatusIcon->setPixmap(WarningGlyph().pixmap(kStatusIconSize, kStatusIconSize));
  StatusIcon->setVisible(false);
  StatusBar1->addWidget(StatusIcon);
  StatusPanel = new QLabel(DeviceLink::kNotConnected);
  StatusPanel->setMinimumWidth(50);
  StatusBar1->addWidget(StatusPanel, 1);
  setStatusBar(StatusBar1);

  MainMenu1 = new QMenuBar(this);
  MainMenu1->setNativeMenuBar(false);  // the menu belongs to the window's fixed size
  setMenuBar(MainMenu1);
  Datei1 = MainMenu1->addMenu(QStringLiteral("Datei"));
  Ende1 = Datei1->addAction(QStringLiteral("Ende"), this, [this] { Ende1Click(); });
  Funktionen1 = MainMenu1->addMenu(QStringLiteral("Funktionen"));
  Sprachdatenbertragen1 = Funktionen1->addAction(QStringLiteral("Sprachdaten Update"), this,
                                                 [this] { Sprachdatenbertragen1Click(); });
  NTPSync1 =
      Funktionen1->addAction(QStringLiteral("Zeit Syncronisieren (NTP)"), this, [this] { NTPSync1Click(); });
  NTPSync1->setEnabled(false);  // nothing in the program enables it
  N1 = Funktionen1->addSeparator();
  Kalibrieren1 =
      Funktionen1->addAction(QStringLiteral("Test / Kalibrieren"), this, [this] { Kalibrieren1Click(); });
  FirmwareUpdate1 =
      Funktionen1->addAction(QStringLiteral("Firmware Update"), this, [this] { FirmwareUpdate1Click(); });
  Einstellungen1 = MainMenu1->addMenu(QStringLiteral("Einstellungen"));
  Sprache1 = Einstellungen1->addAction(QStringLiteral("Sprache"));
  Sprache1->setEnabled(false);
  ComPort1 = Einstellungen1->addAction(QStringLiteral("Com Port"), this, [this] { ComPort1Click(); });
  Hilfe1 = MainMenu1->addMenu(QStringLiteral("Hilfe"));
  Handbuch1 = Hilfe1->addAction(QStringLiteral("Handbuch"));
  Info1 = Hilfe1->addAction(QStringLiteral("Info..."), this, [this] { Info1Click(); });

  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setNameFilter(QStringLiteral("Flash File (*.hex)"));
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);

  SerialPort1 = std::make_unique<TSerialPort>();
  SerialPort1->SetCommPort("COM2");
  SerialPort1->SetErrorNoise(255);
  SerialPort1->OnRxClusterEvent = [this](TSerialPort* sender) { SerialPort1RxClusterEvent(sender); };
  SerialPort1->OnProcessError = [this](TSerialPort* sender, uint32_t place, uint32_t code,
                                       const std::string& msg, uint8_t noise) {
    SerialPort1ProcessError(sender, place, code, msg, noise);
  };

  Timer1 = new QTimer(this);
  Timer1->setInterval(250);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  Timer2 = new QTimer(this);
  Timer2->setInterval(10);
  connect(Timer2, &QTimer::timeout, this, [this] { Timer2Timer(); });
  Timer3 = new QTimer(this);
  Timer3->setInterval(100);
  connect(Timer3, &QTimer::timeout, this, [this] { Timer3Timer(); });

  // The client area holds the picture and the status bar; the menu bar comes on top.
  setFixedSize(kClientWidth, MainMenu1->sizeHint().height() + kClientHeight);
  CenterOnScreen(this);

  FormCreate();
  // Timers fire only once the message loop runs, so the start-up connection
  // comes after every window has been created.
  Timer1->start();
  Timer2->start();
  Timer3->start();
}

TForm1::~TForm1() {
  // Closing the port lets the UI thread's events run while the worker winds
  // down; no timer of this window may reach the port in the middle of that.
  Timer1->stop();
  Timer2->stop();
  Timer3->stop();
  // The component may still serve a delivery the worker holds while it goes;
  // nothing of this window may run then.
  SerialPort1->DetachHandlers();
  const bool attached = DeviceLink::Port() == SerialPort1.get();
  SerialPort1.reset();
  if (attached) DeviceLink::Attach(nullptr);
}

void TForm1::FormCreate() {
  DeviceLink::ConnectionText = DeviceLink::kNotConnected;
  DeviceLink::Attach(SerialPort1.get());
}

void TForm1::Timer1Timer() {
  StatusPanel->setText(DeviceLink::ConnectionText);
  if (DeviceLink::ConnectionText != DeviceLink::kNotConnected) statusReason_.clear();
  const QString tip = WrapToWidth(statusReason_, QFontMetrics(QToolTip::font()), kToolTipWidth);
  for (QWidget* part : std::initializer_list<QWidget*>{StatusBar1, StatusPanel, StatusIcon})
    part->setToolTip(tip);
  StatusIcon->setVisible(!statusReason_.isEmpty());
}

void TForm1::Timer2Timer() {
  Timer2->stop();
  if (Form2) Form2->StartupConnection();
}

void TForm1::Timer3Timer() { DeviceLink::Tick(); }

void TForm1::SerialPort1RxClusterEvent(TSerialPort* sender) {
  DeviceLink::AcceptAnswer(sender->ReadClusterText());
}

void TForm1::SerialPort1ProcessError(TSerialPort* sender, uint32_t place, uint32_t code, const std::string&,
                                     uint8_t) {
  const QString port = QString::fromLocal8Bit(sender->CommPort());
  if (place == PortFailure::kOpenFailedPlace) {
    statusReason_ = PortFailure::OpenFailureText(port, code, PortFailure::NodeOf(port));
    DeviceLink::OpenFailed(code);
  } else if (PortFailure::IsDeviceGone(place, code)) {
    statusReason_ = PortFailure::DisconnectedText(port);
    DeviceLink::PortGone();
  }
}

namespace {
// How long the program's end waits for its last command to leave the port.
constexpr uint32_t kLastBytesMs = 150;
}  // namespace

void TForm1::EndProgram() {
  // A waiting query gives up at once (else "K" would hold the end for up to
  // three minutes), and a running copy ends as "Abbrechen" ends it, so that
  // neither the device stays in service mode nor the sound card at a trial volume.
  DeviceLink::AbandonWaits();
  if (Form4) Form4->EndForProgramExit();
  // Then every other shown dialog, while the port is still open: the test
  // dialog's hide stops the clock test and leaves service mode.
  for (QWidget* dialog : std::initializer_list<QWidget*>{Form4, Form5, Form6, Form3, Form2, Form7})
    if (dialog && dialog->isVisible()) dialog->hide();
  DeviceLink::FinishSending(kLastBytesMs);
  QCoreApplication::exit(0);
}

void TForm1::Ende1Click() { EndProgram(); }

namespace {
void ShowModeless(QWidget* dialog) {
  if (!dialog) return;
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
}
}  // namespace

void TForm1::Sprachdatenbertragen1Click() { ShowModeless(Form6); }
void TForm1::NTPSync1Click() { ShowModeless(Form3); }
void TForm1::Kalibrieren1Click() { ShowModeless(Form5); }

void TForm1::FirmwareUpdate1Click() {
  if (handingOver_) return;
  // The image is chosen and checked while the port is still open: a file that
  // is refused leaves the clock connected and untouched.
  if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty()) return;
  const QString image = OpenDialog1->selectedFiles().constFirst();
  if (const std::optional<ImageRefusal> refusal = RefuseFirmwareImage(image)) {
    ShowMessage(this, refusal->message, MessageKind::Error);
    return;
  }
  // The script gets the port's whole name: a device path, not a COM number.
  const QString port = Form2 ? Form2->ComboBox1->currentText() : QString();
  // Taken while the port is still open, so that no other program comes
  // between the close and the tool; the script keeps it until the tool ends.
  std::optional<ProcessLock> guard =
      FirmwareGuard::Take(port, QStringLiteral("Vellamo (PID %1)").arg(QCoreApplication::applicationPid()));
  if (!guard) {
    ShowMessage(this,
                FirmwareGuard::Held(port)
                    ? PortFailure::OpenFailureText(port, PortFailure::kFirmwareBeingWritten)
                    : QStringLiteral("Der Port %1 kann nicht für das Update gesichert werden.").arg(port),
                MessageKind::Error);
    return;
  }
  DeviceLink::CloseDevicePort();
  StatusPanel->setText(QStringLiteral("Nicht verbunden (Firmwareupdate)"));
  // The wait serves the event loop: a menu item pressed meanwhile (by an
  // accessibility tool, past the notice) must not start a second hand-over.
  handingOver_ = true;
  HandOverFirmware(this, image, port, FirmwareWait, guard->Descriptor());
  handingOver_ = false;
  guard.reset();
  // In every case, with the name as the combo box holds it now; while the
  // tool still runs, the guard refuses it and the status bar says why.
  DeviceLink::OpenDevicePort(Form2 ? Form2->ComboBox1->currentText() : QString());
}

void TForm1::ComPort1Click() {
  DeviceLink::CloseDevicePort();
  statusReason_.clear();  // not connected now because the user closed it
  ShowModeless(Form2);
}

void TForm1::Info1Click() { ShowModeless(Form7); }

void TForm1::closeEvent(QCloseEvent* event) {
  event->accept();
  EndProgram();
}

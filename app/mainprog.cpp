#include "app/mainprog.h"

#include <grp.h>
#include <sys/stat.h>

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QStatusBar>
#include <QTimer>
#include <cerrno>

#include "app/forms.h"
#include "app/info.h"
#include "app/jpegimage.h"
#include "link/devicelink.h"
#include "serial/portenum.h"
#include "serial/serialport.h"
#include "speech/sprachdat.h"
#include "speech/voicecopy.h"
#include "tools/ntpsync.h"
#include "tools/test.h"
#include "ui/formstyle.h"
#include "ui/programfolder.h"

namespace {

constexpr int kClientWidth = 640;
constexpr int kClientHeight = 404;
constexpr int kStatusBarHeight = 19;
constexpr uint32_t kPlaceOpenFailed = 112;

// The group that owns the device file: the one the user must belong to.
QString OwningGroup(const QString& port) {
  QString path = port.contains('/') ? port : QStringLiteral("/dev/") + port;
  struct stat st {};
  if (stat(path.toLocal8Bit().constData(), &st) != 0) return {};
  const group* owner = getgrgid(st.st_gid);
  return owner ? QString::fromLocal8Bit(owner->gr_name) : QString();
}

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

  ListPorts = [](std::vector<std::string>& list) { EnumSerialPorts(list); };

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
  if (SerialPort1->Active()) openFailure_.clear();
  StatusBar1->setToolTip(openFailure_);
  StatusPanel->setToolTip(openFailure_);
}

void TForm1::Timer2Timer() {
  Timer2->stop();
  if (Form2) Form2->StartupConnection(ListPorts);
}

void TForm1::Timer3Timer() { DeviceLink::Tick(); }

void TForm1::SerialPort1RxClusterEvent(TSerialPort*) {
  DeviceLink::AcceptAnswer(SerialPort1->ReadClusterText());
}

void TForm1::SerialPort1ProcessError(TSerialPort* sender, uint32_t place, uint32_t code, const std::string&,
                                     uint8_t) {
  if (place != kPlaceOpenFailed) return;
  const QString port = QString::fromLocal8Bit(sender->CommPort());
  openFailure_ = OpenFailureText(port, code, OwningGroup(port));
}

QString TForm1::OpenFailureText(const QString& port, uint32_t code, const QString& group) {
  if (port.isEmpty())
    return QStringLiteral("Es ist kein Port gewählt. Wählen Sie ihn unter Einstellungen > Com Port.");
  const QString head = QStringLiteral("%1 konnte nicht geöffnet werden: ").arg(port);
  switch (code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return head + QStringLiteral("Dieses Gerät gibt es nicht. Ist das Gerät angeschlossen?");
    case EACCES:
    case EPERM: {
      const QString owner =
          group.isEmpty() || group == QStringLiteral("root") ? QStringLiteral("dialout") : group;
      return head + QStringLiteral(
                        "Zugriff verweigert. Ihr Benutzer muss Mitglied der Gruppe \"%1\" sein "
                        "(sudo adduser $USER %1); danach einmal ab- und wieder anmelden.")
                        .arg(owner);
    }
    case EBUSY:
    case EAGAIN:
      return head + QStringLiteral("Das Gerät ist belegt; ein anderes Programm benutzt es.");
    case ENOTTY:
    case ENOTDIR:
    case EISDIR:
      return head + QStringLiteral("Das ist kein serieller Port.");
    default:
      return head + QStringLiteral("Fehler %1.").arg(code);
  }
}

namespace {
// How long the program's end waits for its last command to leave the port.
constexpr uint32_t kLastBytesMs = 150;

// Before the program ends: a waiting query gives up at once (else "K" would
// hold the end for up to three minutes), and a running copy ends as
// "Abbrechen" ends it, so that neither the device stays in service mode nor the
// sound card at a trial volume.
void EndCopyBeforeQuit() {
  DeviceLink::AbandonWaits();
  if (Form4) Form4->EndForProgramExit();
  DeviceLink::FinishSending(kLastBytesMs);
}
}  // namespace

void TForm1::Ende1Click() {
  EndCopyBeforeQuit();
  // Without other close handlers; the windows are destroyed after the message
  // loop has ended.
  QCoreApplication::exit(0);
}

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
  // The firmware hand-over is not built yet.
}

void TForm1::ComPort1Click() {
  DeviceLink::CloseDevicePort();
  openFailure_.clear();  // not connected now because the user closed it
  ShowModeless(Form2);
}

void TForm1::Info1Click() { ShowModeless(Form7); }

void TForm1::closeEvent(QCloseEvent* event) {
  event->accept();
  EndCopyBeforeQuit();
  QCoreApplication::exit(0);
}

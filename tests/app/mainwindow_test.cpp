// The main window, the port selection dialog and the about box under the
// offscreen platform: what they show, and what the menu and the start-up
// connection do.

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QToolTip>

#include "app/info.h"
#include "speech/sprachdat.h"
#include "speech/voicecopy.h"
#include "tests/app/apptest.h"
#include "tests/speech/fakeaudiooutput.h"
#include "tests/support/cputime.h"
#include "tests/support/slowbuild.h"
#include "tools/ntpsync.h"
#include "tools/test.h"

namespace {

struct MenuEntry {
  QString menu;
  QString item;  // empty: separator
  bool enabled;
};

std::vector<MenuEntry> MenuOf(QMenuBar* bar) {
  std::vector<MenuEntry> entries;
  for (QAction* top : bar->actions())
    for (QAction* item : top->menu()->actions())
      entries.push_back({top->text(), item->isSeparator() ? QString() : item->text(), item->isEnabled()});
  return entries;
}

bool operator==(const MenuEntry& a, const MenuEntry& b) {
  return a.menu == b.menu && a.item == b.item && a.enabled == b.enabled;
}

void PrintTo(const MenuEntry& e, std::ostream* os) {
  *os << e.menu.toStdString() << "/" << e.item.toStdString() << (e.enabled ? " on" : " off");
}

}  // namespace

using MainWindow = ProgramWindows;

TEST_F(MainWindow, HasItsCaptionFixedClientSizeAndOnlyAMinimiseBox) {
  EXPECT_EQ(Form1->windowTitle(), "Vellamo 2.2");
  EXPECT_EQ(Form1->width(), 640);
  EXPECT_EQ(Form1->height(), Form1->MainMenu1->sizeHint().height() + 404);
  EXPECT_EQ(Form1->minimumSize(), Form1->maximumSize());
  Form1->show();
  ASSERT_TRUE(ProcessUntil([] { return Form1->isVisible(); }, 1000));
  EXPECT_EQ(Form1->centralWidget()->height() + Form1->StatusBar1->height(), 404);
  EXPECT_EQ(Form1->centralWidget()->width(), 640);
  EXPECT_EQ(Form1->StatusBar1->height(), 19);
  const Qt::WindowFlags flags = Form1->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_EQ(Form1->font().pointSize(), 8);
}

TEST_F(MainWindow, MenuHasTheCaptionsAndInitialStates) {
  const std::vector<MenuEntry> expected{
      {"Datei", "Ende", true},
      {"Funktionen", "Sprachdaten Update", true},
      {"Funktionen", "Zeit Syncronisieren (NTP)", false},
      {"Funktionen", "", true},
      {"Funktionen", "Test / Kalibrieren", true},
      {"Funktionen", "Firmware Update", true},
      {"Einstellungen", "Sprache", false},
      {"Einstellungen", "Com Port", true},
      {"Hilfe", "Handbuch", true},
      {"Hilfe", "Info...", true},
  };
  EXPECT_EQ(MenuOf(Form1->MainMenu1), expected);
}

TEST_F(MainWindow, ComponentsHaveTheirSettings) {
  EXPECT_EQ(Form1->Timer1->interval(), 250);
  EXPECT_EQ(Form1->Timer2->interval(), 10);
  EXPECT_EQ(Form1->Timer3->interval(), 100);
  EXPECT_TRUE(Form1->Timer1->isActive());
  EXPECT_TRUE(Form1->Timer2->isActive());
  EXPECT_TRUE(Form1->Timer3->isActive());
  EXPECT_EQ(Form1->SerialPort1->CommPort(), "COM2");
  EXPECT_EQ(Form1->SerialPort1->ErrorNoise(), 255);
  EXPECT_FALSE(Form1->SerialPort1->Active());
  EXPECT_EQ(DeviceLink::Port(), Form1->SerialPort1.get());
  EXPECT_EQ(Form1->OpenDialog1->nameFilters(), QStringList{"Flash File (*.hex)"});
  EXPECT_EQ(Form1->Image1->geometry(), QRect(0, 0, 641, 385));
}

TEST_F(MainWindow, ShowsTheBackgroundPictureFromTheProgramFolder) {
  ASSERT_FALSE(Form1->Image1->pixmap().isNull());
  EXPECT_EQ(Form1->Image1->pixmap().size(), QSize(640, 400));
}

TEST_F(MainWindow, StatusReadsNotConnectedBeforeStartupAndShowsTheWholeText) {
  EXPECT_EQ(DeviceLink::ConnectionText, "Nicht verbunden.");
  EXPECT_EQ(Status(), "Nicht verbunden.");
  Form1->show();
  ProcessUntil([] { return Form1->isVisible(); }, 1000);
  EXPECT_GE(Form1->StatusPanel->width(),
            Form1->StatusPanel->fontMetrics().horizontalAdvance("Nicht verbunden."));
}

TEST_F(MainWindow, StartupSortsTheFoundPortsAndConnectsToTheLast) {
  Pty last;
  tree.PointDevAt("ttyUSB1", last.SlavePath());
  // The order found must not matter: hand them over as USB1, ACM0, USB0.
  UseLister({tree.Dev("ttyUSB1"), tree.Dev("ttyACM0"), tree.Dev("ttyUSB0")});
  RunStartup();
  EXPECT_EQ(ComboItems(), (QStringList{QString::fromStdString(tree.Dev("ttyACM0")),
                                       QString::fromStdString(tree.Dev("ttyUSB0")),
                                       QString::fromStdString(tree.Dev("ttyUSB1"))}));
  EXPECT_EQ(Form2->ComboBox1->currentIndex(), 2);
  EXPECT_TRUE(Form1->SerialPort1->Active());
  EXPECT_EQ(Form1->SerialPort1->CommPort(), tree.Dev("ttyUSB1"));
  EXPECT_EQ(Status(), "Verbunden auf " + QString::fromStdString(tree.Dev("ttyUSB1")) + ".");
  EXPECT_TRUE(StatusTip().isEmpty());
  EXPECT_FALSE(Form2->isVisible());
}

TEST_F(MainWindow, StartupWithNoPortsOpensAnEmptyNameAndIsNotConnected) {
  RunStartup();
  EXPECT_EQ(Form2->ComboBox1->count(), 0);
  EXPECT_EQ(Form1->SerialPort1->CommPort(), "");
  EXPECT_FALSE(Form1->SerialPort1->Active());
  EXPECT_EQ(Status(), "Nicht verbunden.");
  EXPECT_TRUE(StatusTip().contains("kein Port"));
  EXPECT_TRUE(messages.empty());
}

// Names are compared as the file system compares them: a name the list holds
// only in another case is another port, listed beside it.
TEST_F(MainWindow, StartupAppendsANameTheListHoldsOnlyInAnotherCase) {
  const std::string first = tree.AddVirtual("devsim-1");
  const std::string second = tree.AddVirtual("devsim-2");
  UseFakeTree();
  const QString held = QString::fromStdString(first).toUpper();
  Form2->AddSorted(Named(held.toStdString()));
  Form2->ComboBox1->setCurrentIndex(-1);
  RunStartup();
  EXPECT_EQ(ComboItems(), (QStringList{held, QString::fromStdString(first), QString::fromStdString(second)}));
}

TEST_F(MainWindow, AFailedOpenIsNotShownAsConnectedAndTheTipSaysWhy) {
  UseLister({"/nonexistent/ttyUSB9"});
  RunStartup();
  EXPECT_FALSE(Form1->SerialPort1->Active());
  EXPECT_EQ(Status(), "Nicht verbunden.");
  EXPECT_TRUE(StatusTip().startsWith("/nonexistent/ttyUSB9 konnte nicht geöffnet werden"));
  EXPECT_TRUE(StatusTip().contains("angeschlossen"));
}

TEST_F(MainWindow, AReasonShowsAWarningBesideTheUnchangedTextAndATipWrappedAtAbout400Pixels) {
  Form1->show();
  UseLister({"/nonexistent/ttyUSB9"});
  RunStartup();
  EXPECT_EQ(Status(), "Nicht verbunden.");
  EXPECT_TRUE(Form1->StatusIcon->isVisible());
  EXPECT_FALSE(Form1->StatusIcon->pixmap().isNull());
  EXPECT_LE(Form1->StatusIcon->pixmap().height(), Form1->StatusBar1->height());
  const QStringList lines = Form1->StatusBar1->toolTip().split('\n');
  EXPECT_GT(lines.size(), 1) << "one long line: " << StatusTip().toStdString();
  const QFontMetrics metrics(QToolTip::font());
  for (const QString& line : lines) EXPECT_LE(metrics.horizontalAdvance(line), 400) << line.toStdString();
  EXPECT_EQ(Form1->StatusIcon->toolTip(), Form1->StatusBar1->toolTip());
}

TEST_F(MainWindow, ABusyDeviceIsReportedAsInUseByAnotherProgram) {
  Pty busy;
  const int other = open(busy.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  UseLister({busy.SlavePath()});
  RunStartup();
  EXPECT_EQ(Status(), "Nicht verbunden.");
  EXPECT_TRUE(StatusTip().contains("belegt")) << StatusTip().toStdString();
  close(other);

  // Once the port opens, the old failure is gone from the status bar.
  Form2->ComboBox1->setEditText(QString::fromStdString(busy.SlavePath()));
  Form2->BitBtn1->click();
  RefreshStatus();
  EXPECT_EQ(Status(), "Verbunden auf " + QString::fromStdString(busy.SlavePath()) + ".");
  EXPECT_TRUE(StatusTip().isEmpty());
  EXPECT_TRUE(Form1->StatusIcon->isHidden());
}

TEST_F(MainWindow, ComPortClosesThePortAndShowsTheDialogWhoseOkOpensATypedName) {
  Pty first, typed;
  UseLister({first.SlavePath()});
  RunStartup();
  ASSERT_TRUE(Form1->SerialPort1->Active());

  Form1->ComPort1->trigger();
  EXPECT_FALSE(Form1->SerialPort1->Active());
  EXPECT_TRUE(Form2->isVisible());
  RefreshStatus();
  EXPECT_EQ(Status(), "Nicht verbunden.");
  EXPECT_TRUE(first.SlaveClosed(1000));

  Form2->ComboBox1->setEditText(QString::fromStdString(typed.SlavePath()));
  Form2->BitBtn1->click();
  EXPECT_FALSE(Form2->isVisible());
  EXPECT_EQ(Form1->SerialPort1->CommPort(), typed.SlavePath());
  EXPECT_EQ(Form2->ComboBox1->count(), 1);  // a typed name is not added to the list
  RefreshStatus();
  EXPECT_EQ(Status(), "Verbunden auf " + QString::fromStdString(typed.SlavePath()) + ".");
}

TEST_F(MainWindow, OkWithAnEmptyTextIsNotConnected) {
  RunStartup();
  Form1->ComPort1->trigger();
  Form2->ComboBox1->setEditText(QString());
  Form2->BitBtn1->click();
  EXPECT_EQ(Form1->SerialPort1->CommPort(), "");
  RefreshStatus();
  EXPECT_EQ(Status(), "Nicht verbunden.");
}

TEST_F(MainWindow, ThePortDialogsCloseBoxOnlyHidesItAndThePortStaysClosed) {
  Pty port;
  UseLister({port.SlavePath()});
  RunStartup();
  Form1->ComPort1->trigger();
  ASSERT_TRUE(Form2->isVisible());
  EXPECT_TRUE(Form2->close());
  EXPECT_FALSE(Form2->isVisible());
  EXPECT_FALSE(Form1->SerialPort1->Active());
  RefreshStatus();
  EXPECT_EQ(Status(), "Nicht verbunden.");
}

TEST_F(MainWindow, MenuItemsShowTheirDialogsModeless) {
  RunStartup();
  Form1->Sprachdatenbertragen1->trigger();
  EXPECT_TRUE(Form6->isVisible());
  Form1->Kalibrieren1->trigger();
  EXPECT_TRUE(Form5->isVisible());
  Form1->Info1->trigger();
  EXPECT_TRUE(Form7->isVisible());
  for (QWidget* dialog : std::initializer_list<QWidget*>{Form5, Form6, Form7})
    EXPECT_FALSE(dialog->isModal());
  Form7->BitBtn1->click();
  EXPECT_FALSE(Form7->isVisible());
}

TEST_F(MainWindow, HandbuchAndSpracheDoNothingAndTimeSyncStaysDisabled) {
  Pty port;
  UseLister({port.SlavePath()});
  RunStartup();
  const QString before = Status();
  Form1->Handbuch1->trigger();
  Form1->Sprache1->trigger();
  Form1->NTPSync1->trigger();  // disabled: no effect
  ProcessFor(300);
  for (QWidget* dialog : std::initializer_list<QWidget*>{Form2, Form3, Form4, Form5, Form6, Form7})
    EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(Status(), before);
  EXPECT_TRUE(Form1->SerialPort1->Active());
  EXPECT_FALSE(Form1->NTPSync1->isEnabled());
  EXPECT_FALSE(Form1->Sprache1->isEnabled());
}

TEST_F(MainWindow, ARoundTripReachesTheChannelThroughTheClusterHandler) {
  Pty device;
  UseLister({device.SlavePath()});
  RunStartup();
  ASSERT_TRUE(Form1->SerialPort1->Active());
  // Answer the first byte that arrives, as the device would.
  QTimer answer;
  answer.setInterval(20);
  QObject::connect(&answer, &QTimer::timeout, [&] {
    char byte;
    pollfd p{device.Master(), POLLIN, 0};
    if (poll(&p, 1, 0) > 0 && read(device.Master(), &byte, 1) == 1 && byte == 'B') {
      ASSERT_EQ(write(device.Master(), " 512\r\n", 6), 6);
    }
  });
  answer.start();
  EXPECT_EQ(DeviceLink::ReadAudioLevel(), 512);
}

// The program sitting idle with its port open: its timers and the serial
// worker wake a few times a second and do next to nothing. Goal: at most 1 %
// of a core (bench/startup measures the program itself). The test sleeps in
// the event loop, which costs nothing of its own.
TEST_F(MainWindow, IdleWithThePortOpenItUsesAlmostNoProcessorTime) {
  Pty device;
  UseLister({device.SlavePath()});
  RunStartup();
  ASSERT_TRUE(Form1->SerialPort1->Active());
  Form1->show();
  ProcessFor(300);  // the first paint and the start's own work
  const double before = ProcessCpuMs();
  QElapsedTimer idle;
  idle.start();
  QEventLoop loop;
  QTimer::singleShot(3000, &loop, &QEventLoop::quit);
  loop.exec();
  const double percent = (ProcessCpuMs() - before) / 10.0 / (idle.elapsed() / 1000.0);
  RecordProperty("idle CPU per mille", static_cast<int>(percent * 10));
  if (!kSanitizedBuild) {
    EXPECT_LE(percent, 3.0) << "per cent of one core";
  }
  EXPECT_TRUE(Form1->SerialPort1->WorkerBusy()) << "the port was watched all along";
}

TEST_F(MainWindow, EndeEndsTheMessageLoopAndDestructionClosesThePort) {
  Pty port;
  UseLister({port.SlavePath()});
  RunStartup();
  ASSERT_TRUE(Form1->SerialPort1->Active());
  QTimer::singleShot(0, [] { Form1->Ende1->trigger(); });
  QTimer stuck;  // ends the loop with another code should "Ende" not end it
  stuck.setSingleShot(true);
  QObject::connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(1); });
  stuck.start(5000);
  EXPECT_EQ(QCoreApplication::exec(), 0);
  stuck.stop();
  EXPECT_FALSE(port.SlaveClosed());
  DestroyForms();
  EXPECT_EQ(Form1, nullptr);
  EXPECT_TRUE(port.SlaveClosed(1000));
}

using PortDialog = ProgramWindows;

TEST_F(PortDialog, HasItsCaptionSizeLabelsAndAlwaysOnTop) {
  EXPECT_EQ(Form2->windowTitle(), "Port Einstellungen");
  // Wider and taller than the bare choice: the by-id names and the line that
  // says what the port is must be readable.
  EXPECT_EQ(Form2->size(), QSize(400, 250));
  EXPECT_EQ(Form2->minimumSize(), Form2->maximumSize());
  const Qt::WindowFlags flags = Form2->windowFlags();
  EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(Form2->Label1->text(), "Wählen Sie den virtuellen COM Port");
  EXPECT_EQ(Form2->Label2->text(), "an den das Gerät angeschlossen ist.");
  EXPECT_EQ(Form2->Label3->text(), "COM Port:");
  EXPECT_TRUE(Form2->ComboBox1->isEditable());
  EXPECT_EQ(Form2->BitBtn1->text(), "OK");
  EXPECT_FALSE(Form2->BitBtn1->icon().isNull());
  EXPECT_EQ(Form2->Panel1->frameShadow(), QFrame::Sunken);
  EXPECT_FALSE(Form2->isVisible());
}

TEST_F(PortDialog, KeepsItsItemsSortedIgnoringCase) {
  for (const char* name : {"COM3", "COM1", "COM10", "com2", "/dev/ttyUSB0", "/tmp/vellamo-ports-0/x"})
    Form2->AddSorted(Named(name));
  EXPECT_EQ(ComboItems(),
            (QStringList{"/dev/ttyUSB0", "/tmp/vellamo-ports-0/x", "COM1", "COM10", "com2", "COM3"}));
}

TEST_F(PortDialog, ComStyleNamesEndSortedAndStartupTakesTheLast) {
  UseLister({"COM1", "COM10", "COM3"});
  RunStartup();
  EXPECT_EQ(ComboItems(), (QStringList{"COM1", "COM10", "COM3"}));
  EXPECT_EQ(Form2->ComboBox1->currentText(), "COM3");
  EXPECT_EQ(Form1->SerialPort1->CommPort(), "COM3");
}

using AboutBox = ProgramWindows;

TEST_F(AboutBox, HasItsCaptionSizePictureHeadingAndAddresses) {
  EXPECT_EQ(Form7->windowTitle(), "Info");
  EXPECT_EQ(Form7->size(), QSize(266, 278));
  EXPECT_EQ(Form7->Image1->size(), QSize(100, 100));
  ASSERT_FALSE(Form7->Image1->pixmap().isNull());
  EXPECT_EQ(Form7->Image1->pixmap().size(), QSize(100, 100));
  EXPECT_EQ(Form7->ProductName->text(), "Vellamo 2.2");
  EXPECT_TRUE(Form7->ProductName->font().bold());
  const QStringList lines = Form7->Label1->text().split('\n');
  const qsizetype heading = lines.indexOf("Weitere Informationen:");
  ASSERT_GE(heading, 0);
  ASSERT_GE(lines.size(), heading + 3);
  EXPECT_FALSE(lines[heading + 1].isEmpty());
  EXPECT_FALSE(lines[heading + 2].isEmpty());
  EXPECT_EQ(Form7->BitBtn1->text(), "OK");
  EXPECT_EQ(Form7->Panel1->frameShadow(), QFrame::Sunken);
}

using Dialogs = ProgramWindows;

TEST_F(Dialogs, EveryWindowExistsOnceWithItsCaptionAndClientSizeAndHidden) {
  struct Expected {
    QWidget* window;
    QString caption;
    QSize size;
  };
  for (const Expected& e : std::initializer_list<Expected>{
           {Form3, "Zeit Syncronisieren (NTP)", {275, 166}},
           {Form4, "Sprachdaten kopieren", {476, 198}},
           {Form5, "Test / Kalibrieren", {449, 303}},
           {Form6, "Sprachdaten Update", {626, 363}},
       }) {
    ASSERT_NE(e.window, nullptr);
    EXPECT_EQ(e.window->windowTitle(), e.caption);
    EXPECT_EQ(e.window->size(), e.size) << e.caption.toStdString();
    EXPECT_FALSE(e.window->isVisible());
    EXPECT_EQ(e.window->font().pointSize(), 8);
  }
}

TEST(MainWindowWithoutPicture, HasNoBackgroundAndStillWorks) {
  QTemporaryDir empty;
  OverrideProgramFolder(empty.path());
  CreateForms();
  Form2->ListPorts = [](std::vector<PortInfo>&) {};
  EXPECT_TRUE(Form1->Image1->pixmap().isNull());
  EXPECT_TRUE(Form7->Image1->pixmap().isNull());
  ASSERT_TRUE(ProcessUntil([] { return !Form1->Timer2->isActive(); }, 2000));
  DestroyForms();
  OverrideProgramFolder(QString());
}

TEST(StartupWithoutSoundOutput, EachSpeechDialogSaysSoOnceAndTheProgramStillStarts) {
  FakeAudioOutput noOutput;
  noOutput.available = false;
  UseAudioOutput(&noOutput);
  std::vector<QString> boxes;
  const MessageHook previous = SetMessageHook([&](const QString& text, MessageKind kind) {
    EXPECT_EQ(kind, MessageKind::Error);
    boxes.push_back(text);
  });
  CreateForms();
  Form2->ListPorts = [](std::vector<PortInfo>&) {};
  EXPECT_EQ(boxes, std::vector<QString>(2, QStringLiteral("Audioausgabe nicht gefunden")));
  ASSERT_TRUE(ProcessUntil([] { return !Form1->Timer2->isActive(); }, 2000));
  DestroyForms();
  SetMessageHook(previous);
  UseAudioOutput(nullptr);
}

// "Firmware Update" from the main window against the device simulator on a
// pty: the file dialog (Qt's own, driven through its controls), the hand-over
// to the shipped update.bat, the wait for a flashing tool "fboot" found on the
// PATH, and the reconnection in every case.

#include <gmock/gmock.h>
#include <termios.h>

#include <QAccessible>
#include <QApplication>
#include <QCursor>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTranslator>

#include "app/firmwareupdate.h"
#include "app/qttranslations.h"
#include "devsim/devicesimulator.h"
#include "devsim/virtualports.h"
#include "link/firmwareguard.h"
#include "tests/app/apptest.h"
#include "tools/firmwarefolder.h"

namespace {

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes, bool executable = false) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(bytes);
  file.close();
  if (executable)
    file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

const QByteArray kGoodImage =
    ":020000040000FA\r\n"
    ":10010000214601360121470136007EFE09D2190140\r\n"
    ":100110002146017E17C20001FF5F16002148011928\r\n"
    ":00000001FF\r\n";

class FirmwareUpdate : public ProgramWindows {
 protected:
  void SetUp() override {
    ProgramWindows::SetUp();
    savedPath_ = qgetenv("PATH");
    savedLockDir_ = qgetenv("VELLAMO_LOCK_DIR");
    savedDataHome_ = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath("user-data")));

    // A program folder of our own, with the shipped script.
    ASSERT_TRUE(QDir().mkpath(Firmware()));
    ASSERT_TRUE(QFile::copy(TestProgramFolder() + "firmware/update.bat", Firmware() + "/update.bat"));
    OverrideProgramFolder(root.filePath("program"));

    ASSERT_TRUE(QDir().mkpath(root.filePath("tools")));
    ASSERT_TRUE(QFile::copy(VELLAMO_FAKE_FBOOT, root.filePath("tools/fboot")));
    UseTools(true);
    // The port guards of this test's hand-overs, apart from any other's.
    ASSERT_TRUE(QDir().mkpath(root.filePath("locks")));
    qputenv("VELLAMO_LOCK_DIR", QFile::encodeName(root.filePath("locks")));

    image = kGoodImage;
    WriteAll(root.filePath("clock-2.3.hex"), image);

    announced = std::make_unique<devsim::PortAnnouncement>(tree.PortsFolder(), "vellamo-devsim-fw",
                                                           device.PortPath());
    UseFakeTree();
    RunStartup();
    ASSERT_TRUE(Form1->SerialPort1->Active());

    // Qt's own dialog, whatever the platform offers.
    Form1->OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
    // A stale "fboot" elsewhere on the machine must not hold a test for ever.
    Form1->FirmwareWait.Limit = std::chrono::seconds(60);
  }
  void TearDown() override {
    // A tool still held by a failed test is let go, and waited for.
    WriteAll(root.filePath("release"), "");
    ProcessUntil([this] { return !FirmwareGuard::Held(Port()); }, 10000);
    for (const char* name : {"FAKE_FLASH_HOLD", "FAKE_FLASH_STATUS"}) qunsetenv(name);
    savedLockDir_.isNull() ? qunsetenv("VELLAMO_LOCK_DIR") : qputenv("VELLAMO_LOCK_DIR", savedLockDir_);
    qputenv("PATH", savedPath_);
    savedDataHome_.isNull() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", savedDataHome_);
    ProgramWindows::TearDown();
  }

  QString Firmware() const { return root.filePath("program/firmware"); }
  QString Port() const { return QString::fromStdString(announced->LinkPath()); }

  // With or without the flashing tool on the PATH.
  void UseTools(bool withFlashingTool) {
    const QByteArray tools = QFile::encodeName(root.filePath(withFlashingTool ? "tools" : "no-tools"));
    qputenv("PATH", tools + ":/usr/bin:/bin");
  }

  // On a loaded machine sh and the tool may take longer than the program's
  // first 500 ms to start; until the tool has left its first trace it counts
  // as running, and from then on the real process list decides.
  void WaitForTheToolsFirstTrace() {
    Form1->FirmwareWait.FindProcess = [this](const std::string& name) {
      return QFileInfo::exists(Firmware() + "/fboot-arguments") ? FindProcessId(name) : uint32_t(1);
    };
  }

  // Looks for the tool in an empty process list and counts the looks.
  void CountLooksInAnEmptyList() {
    const std::string empty = root.filePath("empty-proc").toStdString();
    QDir().mkpath(root.filePath("empty-proc"));
    Form1->FirmwareWait.FindProcess = [this, empty](const std::string& name) {
      ++looks;
      const QCursor* cursor = QApplication::overrideCursor();
      waitCursorWhileLooking = cursor && cursor->shape() == Qt::WaitCursor;
      return FindProcessIdIn(empty, name);
    };
  }

  // Acts on the file dialog once it shows, from inside its own event loop.
  // Should it never close, it is cancelled after a time only a fault reaches,
  // so that the test fails instead of hanging.
  void WhenTheDialogShows(std::function<void(QFileDialog*)> act) {
    QFileDialog* dialog = Form1->OpenDialog1;
    auto* poll = new QTimer(dialog);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, dialog, [this, poll, dialog, act] {
      if (!dialog->isVisible()) return;
      poll->deleteLater();
      dialogShown = true;
      portClosedWhileChoosing = !Form1->SerialPort1->Active();
      statusWhileChoosing = Status();
      act(dialog);
      QTimer::singleShot(30000, dialog, [dialog] {
        if (!dialog->isVisible()) return;
        ADD_FAILURE() << "the file dialog did not close";
        dialog->reject();
      });
    });
    poll->start();
  }

  static void Choose(QFileDialog* dialog, const QString& file) {
    dialog->findChild<QLineEdit*>("fileNameEdit")->setText(file);
    dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Open)->click();
  }
  static void Cancel(QFileDialog* dialog) {
    dialog->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Cancel)->click();
  }

  // Runs the menu command; the status refresh waits, so that the status the
  // command sets can be seen in the dialog.
  void RunFirmwareUpdate() {
    Form1->Timer1->stop();
    Form1->FirmwareUpdate1->trigger();
    Form1->Timer1->start();
  }

  void ExpectReconnected() {
    ASSERT_TRUE(Form1->SerialPort1->Active());
    const termios seen = device.SlaveSettings();
    EXPECT_EQ(cfgetospeed(&seen), speed_t(B38400));
    EXPECT_EQ(seen.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(seen.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    EXPECT_EQ(DeviceLink::ReadAudioLevel(), 150);
    RefreshStatus();
    EXPECT_EQ(Status(), "Verbunden auf " + Port() + ".");
  }

  QTemporaryDir root;
  devsim::DeviceSimulator device;
  std::unique_ptr<devsim::PortAnnouncement> announced;
  QByteArray image;
  int looks = 0;  // how often the wait looked for the tool
  bool waitCursorWhileLooking = false;
  bool dialogShown = false;
  bool portClosedWhileChoosing = false;
  QString statusWhileChoosing;

 private:
  QByteArray savedPath_;
  QByteArray savedDataHome_;
  QByteArray savedLockDir_;
};

}  // namespace

TEST_F(FirmwareUpdate, WaitsForTheFlashingToolToEndThenReopensThePort) {
  WriteAll(Firmware() + "/update.hex", QByteArray(5000, 'o'));  // an older, longer image
  WaitForTheToolsFirstTrace();
  WhenTheDialogShows([this](QFileDialog* dialog) {
    EXPECT_EQ(dialog->nameFilters(), QStringList{"Flash File (*.hex)"});
    Choose(dialog, root.filePath("clock-2.3.hex"));
  });
  RunFirmwareUpdate();

  EXPECT_TRUE(dialogShown);
  // The image is chosen and checked while the clock is still connected.
  EXPECT_FALSE(portClosedWhileChoosing);
  // Back only once the tool had finished.
  EXPECT_TRUE(QFileInfo::exists(Firmware() + "/fboot-finished"));
  EXPECT_EQ(ReadAll(Firmware() + "/fboot-arguments"), Port().toLocal8Bit() + "\nupdate.hex\n");
  EXPECT_EQ(ReadAll(Firmware() + "/fboot-port-speed"), "115200\n");
  EXPECT_EQ(ReadAll(Firmware() + "/update.hex"), image);
  EXPECT_TRUE(ReadAll(Firmware() + "/update.log").contains("fboot fertig."));
  EXPECT_TRUE(messages.empty());
  ExpectReconnected();
}

// A cancelled choice and a refused image leave everything as it was: the port
// is never closed, the firmware folder keeps its image and no script starts.
TEST_F(FirmwareUpdate, NothingIsTouchedForACancelledChoiceOrARefusedImage) {
  QByteArray wrongChecksum = kGoodImage;
  wrongChecksum.replace("1928\r\n", "1929\r\n");
  WriteAll(root.filePath("bad-checksum.hex"), wrongChecksum);
  WriteAll(root.filePath("notes.hex"), "Einkaufsliste\n");
  struct Case {
    const char* rule;
    QString file;  // empty: the choice is cancelled
    QString said;  // a part of the message; empty: no message
  };
  const Case cases[] = {
      {"cancelled", QString(), QString()},
      {"one wrong checksum", root.filePath("bad-checksum.hex"),
       "bad-checksum.hex ist keine gültige Intel-HEX-Datei: Zeile 3: Die Prüfsumme stimmt nicht"},
      {"a text file", root.filePath("notes.hex"), "notes.hex ist keine gültige Intel-HEX-Datei: Zeile 1"},
  };
  WriteAll(Firmware() + "/update.hex", "the last image");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    messages.clear();
    CountLooksInAnEmptyList();
    WhenTheDialogShows(
        [&c](QFileDialog* dialog) { c.file.isEmpty() ? Cancel(dialog) : Choose(dialog, c.file); });
    RunFirmwareUpdate();

    EXPECT_TRUE(dialogShown);
    if (c.said.isEmpty()) {
      EXPECT_TRUE(messages.empty());
    } else {
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_THAT(messages[0].toStdString(), testing::HasSubstr(c.said.toStdString()));
    }
    // Closing would have left the hand-over's status; the refresh waited.
    EXPECT_NE(Form1->StatusPanel->text(), "Nicht verbunden (Firmwareupdate)");
    EXPECT_TRUE(Form1->SerialPort1->Active());
    EXPECT_EQ(ReadAll(Firmware() + "/update.hex"), "the last image");
    EXPECT_FALSE(QFileInfo::exists(Firmware() + "/update.log"));
    EXPECT_EQ(looks, 0);
  }
  ExpectReconnected();
}

TEST_F(FirmwareUpdate, AToolThatNeverStartsEndsTheWaitAtTheFirstLook) {
  UseTools(false);
  CountLooksInAnEmptyList();
  WhenTheDialogShows([this](QFileDialog* dialog) { Choose(dialog, root.filePath("clock-2.3.hex")); });
  RunFirmwareUpdate();

  EXPECT_EQ(looks, 1);
  EXPECT_TRUE(waitCursorWhileLooking);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  // The shipped script ends with 127 without a tool; the user is told.
  EXPECT_EQ(messages, std::vector<QString>{ScriptFailedText(127, Firmware() + "/update.log")});
  ExpectReconnected();
  // The shipped script says why nothing was flashed.
  EXPECT_TRUE(ProcessUntil(
      [this] { return ReadAll(Firmware() + "/update.log").contains("kein Flash-Programm installiert"); },
      10000));
}

TEST_F(FirmwareUpdate, AMissingScriptIsReportedAndThePortReopened) {
  ASSERT_TRUE(QFile::remove(Firmware() + "/update.bat"));
  CountLooksInAnEmptyList();
  WhenTheDialogShows([this](QFileDialog* dialog) { Choose(dialog, root.filePath("clock-2.3.hex")); });
  RunFirmwareUpdate();

  EXPECT_EQ(messages, std::vector<QString>{kStartFailedText});
  EXPECT_EQ(looks, 0);
  EXPECT_EQ(ReadAll(Firmware() + "/update.hex"), image);
  ExpectReconnected();
}

TEST_F(FirmwareUpdate, AFirmwareFolderThatCannotBeWrittenIsReportedAndThePortReopened) {
  // Neither the program folder's firmware folder nor the user's can hold the
  // image: a file stands where each folder should be.
  ASSERT_TRUE(QDir(Firmware()).removeRecursively());
  WriteAll(Firmware(), "not a folder");
  WriteAll(root.filePath("user-data"), "not a folder");
  CountLooksInAnEmptyList();
  WhenTheDialogShows([this](QFileDialog* dialog) { Choose(dialog, root.filePath("clock-2.3.hex")); });
  RunFirmwareUpdate();

  EXPECT_EQ(messages, std::vector<QString>{kCopyFailedText});
  EXPECT_EQ(looks, 0);
  ExpectReconnected();
}

TEST_F(FirmwareUpdate, AToolStillRunningAtTheLimitIsReportedAndThePortReopened) {
  // A process list in which the tool never ends, before a minute of looks;
  // should the limit not work, the test ends all the same.
  constexpr int kMinuteOfLooks = 600;
  Form1->FirmwareWait.FindProcess = [this](const std::string&) {
    return ++looks < kMinuteOfLooks ? 4242u : 0u;
  };
  Form1->FirmwareWait.Limit = std::chrono::milliseconds(800);
  qputenv("FAKE_FLASH_HOLD", QFile::encodeName(root.filePath("release")));
  WhenTheDialogShows([this](QFileDialog* dialog) { Choose(dialog, root.filePath("clock-2.3.hex")); });
  RunFirmwareUpdate();

  EXPECT_EQ(messages, std::vector<QString>{kStillRunningText});
  EXPECT_GE(looks, 1);
  EXPECT_LT(looks, kMinuteOfLooks);
  // The script still holds the port's guard: the window's reopen is refused, and says why.
  EXPECT_FALSE(Form1->SerialPort1->Active());
  RefreshStatus();
  EXPECT_EQ(Status(), "Nicht verbunden.");
  EXPECT_THAT(StatusTip().toStdString(),
              testing::HasSubstr("Die Firmware des Geräts wird gerade geschrieben"));
  // Once the tool has ended, the port opens again.
  WriteAll(root.filePath("release"), "");
  ASSERT_TRUE(ProcessUntil([this] { return !FirmwareGuard::Held(Port()); }, 10000));
  DeviceLink::OpenDevicePort(Port());
  ExpectReconnected();
}

TEST_F(FirmwareUpdate, AScriptThatFailsIsToldWithItsStatusAndLogThenThePortReopens) {
  qputenv("FAKE_FLASH_STATUS", "3");
  WaitForTheToolsFirstTrace();
  WhenTheDialogShows([this](QFileDialog* dialog) { Choose(dialog, root.filePath("clock-2.3.hex")); });
  RunFirmwareUpdate();

  EXPECT_EQ(messages, std::vector<QString>{"Das Update-Skript endete mit Status 3; Einzelheiten in " +
                                           Firmware() + "/update.log"});
  EXPECT_TRUE(ReadAll(Firmware() + "/update.log").contains("fboot meldet Fehler 3"));
  ExpectReconnected();
}

// A five-second flash: the window goes on answering what a screen reader
// asks, says that the firmware is being written, and no other run (here
// vellamo-cli) may open the port meanwhile; the clock hears nothing.
TEST_F(FirmwareUpdate, WhileTheToolWritesTheWindowAnswersAndNoOtherRunOpensThePort) {
  const QString release = root.filePath("release");
  qputenv("FAKE_FLASH_HOLD", QFile::encodeName(release));
  WaitForTheToolsFirstTrace();
  QProcess probe;
  QElapsedTimer sinceTick;
  qint64 longestGap = 0;
  bool writing = false;
  bool fiveSeconds = false;
  QString noticeSaid;
  std::string heardWhileWriting = "(not looked at)";
  QTimer tick;
  tick.setInterval(100);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const bool started = QFileInfo::exists(Firmware() + "/fboot-started");
    if (!started || QFileInfo::exists(release)) return sinceTick.restart(), void();
    if (!writing) {
      writing = true;
      device.ClearLogs();
      probe.start(VELLAMO_CLI_PROGRAM, {"--json", "--port", Port(), "status"});
      QTimer::singleShot(5000, [&] { fiveSeconds = true; });
    }
    longestGap = std::max(longestGap, sinceTick.restart());
    // What a screen reader asks of the notice.
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (window->objectName() != kFirmwareNoticeName || !window->isVisible()) continue;
      if (QAccessibleInterface* text = QAccessible::queryAccessibleInterface(window->findChild<QLabel*>()))
        noticeSaid = text->text(QAccessible::Name);
    }
    if (fiveSeconds && probe.state() == QProcess::NotRunning) {
      heardWhileWriting = device.Received();
      WriteAll(release, "");
    }
  });
  sinceTick.start();
  tick.start();
  WhenTheDialogShows([this](QFileDialog* dialog) { Choose(dialog, root.filePath("clock-2.3.hex")); });
  RunFirmwareUpdate();
  tick.stop();

  EXPECT_TRUE(writing);
  EXPECT_LT(longestGap, 1000) << "the window did not answer for " << longestGap << " ms";
  EXPECT_EQ(noticeSaid, "Die Firmware wird geschrieben. Bitte warten und das Gerät nicht abziehen.");
  EXPECT_EQ(heardWhileWriting, "");
  const QJsonObject refused = QJsonDocument::fromJson(probe.readAllStandardOutput()).object();
  EXPECT_EQ(probe.exitCode(), 7);
  EXPECT_EQ(refused.value("error").toString(), "firmware-being-written");
  EXPECT_THAT(refused.value("message").toString().toStdString(),
              testing::HasSubstr("Die Firmware des Geräts wird gerade geschrieben"));
  EXPECT_TRUE(messages.empty());
  ExpectReconnected();
}

// Qt's own texts follow the German of the rest of the program.
TEST(QtTranslations, MakeTheFileDialogAndMessageBoxesGerman) {
  QCoreApplication& application = *QCoreApplication::instance();
  ASSERT_TRUE(InstallGermanQtTranslations(application));
  QFileDialog dialog;
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  auto* buttons = dialog.findChild<QDialogButtonBox*>("buttonBox");
  ASSERT_NE(buttons, nullptr);
  EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text(), "Abbrechen");
  QMessageBox box(QMessageBox::Question, "Vellamo", "?", QMessageBox::Yes | QMessageBox::No);
  EXPECT_EQ(box.button(QMessageBox::No)->text(), "&Nein");
  for (QTranslator* translator : application.findChildren<QTranslator*>()) {
    QCoreApplication::removeTranslator(translator);
    delete translator;
  }
}

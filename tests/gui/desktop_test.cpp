// The program's real windows under a real window manager (openbox on a private
// X server, see run-under-openbox): what the user sees there is decided by the
// window manager, from the properties it reads and writes, and the test reads
// them back the way any X client can.
#include <gmock/gmock.h>

#include <QAbstractButton>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <algorithm>

#include "devsim/devicesimulator.h"
#include "speech/audio.h"
#include "speech/voicecopy.h"
#include "tests/app/apptest.h"
#include "tools/test.h"

namespace {

namespace DL = DeviceLink;
using namespace std::chrono_literals;

QString RunTool(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  process.waitForFinished(10000);
  return QString::fromLocal8Bit(process.readAllStandardOutput());
}

// The window manager's stacking order, bottom first.
std::vector<WId> Stacking() {
  const QString out = RunTool("xprop", {"-root", "-notype", "_NET_CLIENT_LIST_STACKING"});
  std::vector<WId> ids;
  const QRegularExpression hex("0x[0-9a-fA-F]+");
  for (auto it = hex.globalMatch(out); it.hasNext();) ids.push_back(it.next().captured().toULongLong(nullptr, 16));
  return ids;
}

int StackPlace(const std::vector<WId>& stack, WId window) {
  const auto it = std::find(stack.begin(), stack.end(), window);
  return it == stack.end() ? -1 : int(it - stack.begin());
}

// What the window manager lets the user do with the window, e.g. "MINIMIZE";
// empty until it manages the window.
QStringList AllowedActions(WId window) {
  const QString out =
      RunTool("xprop", {"-id", QString::number(window), "-notype", "_NET_WM_ALLOWED_ACTIONS"});
  QStringList actions;
  const QRegularExpression action("_NET_WM_ACTION_([A-Z_]+)");
  for (auto it = action.globalMatch(out); it.hasNext();) actions << it.next().captured(1);
  return actions;
}

// A real click, through the X server, at a point of the screen.
void ClickAt(const QPoint& global) {
  RunTool("xdotool", {"mousemove", "--sync", QString::number(global.x()), QString::number(global.y()), "click", "1"});
}

// Counts the mouse presses that reach a widget.
class PressCounter : public QObject {
 public:
  int presses = 0;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::MouseButtonPress) ++presses;
    return false;
  }
};

// The windows as the program entry makes them, the main window on screen, the
// device simulator on a pty as the open port. Message boxes are real.
class Desktop : public ProgramWindows {
 protected:
  devsim::DeviceSimulator sim;

  void SetUp() override {
    // Offscreen there is no window manager to ask: skipped with the reason, never passed.
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
      GTEST_SKIP() << "needs X11 and a window manager: run it through tests/gui/run-under-openbox";
    ProgramWindows::SetUp();
    SetMessageHook(nullptr);
    Form1->show();
    ASSERT_TRUE(ProcessUntil([] { return !Form1->Timer2->isActive(); }, kFaultMs));
    DL::OpenDevicePort(QString::fromStdString(sim.PortPath()));
    ASSERT_TRUE(Form1->SerialPort1->Active());
    // A query right after the opening must not spend its time-out on the worker's idle nap.
    ASSERT_TRUE(ProcessUntil([] { return Form1->SerialPort1->WorkerBusy(); }, kFaultMs));
  }

  void StartCopy(const QStringList& entries) {
    Form4->SetCopyList(entries);
    Form4->show();
  }

  // Until the window manager has the window in its stacking order.
  bool Managed(WId window) {
    return ProcessUntil([&] { return StackPlace(Stacking(), window) >= 0; }, kFaultMs);
  }

  // Keeps the screen when VELLAMO_SCREENSHOTS names a folder.
  void Screenshot(const QString& name) {
    const QString folder = qEnvironmentVariable("VELLAMO_SCREENSHOTS");
    if (folder.isEmpty()) return;
    ProcessFor(500);  // painted, and the progress bar polled once more
    RunTool("/usr/bin/import", {"-window", "root", folder + "/" + name + ".png"});
  }
};

TEST_F(Desktop, AFailureBoxStandsAboveTheStayOnTopCopyDialog) {
  sim.SetValues('B', {0});  // a failed level query ends the run with a box
  std::vector<WId> stackWhileShown;
  WId dialog = 0, box = 0;
  QWidget* boxParent = nullptr;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    auto* shown = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!shown || box != 0) return;
    box = shown->winId();
    boxParent = shown->parentWidget();
    dialog = Form4->winId();
    // In the box's own wait: read the stacking once openbox has placed the box.
    if (Managed(box)) stackWhileShown = Stacking();
    Screenshot("failure-box-above-copy-dialog");
    shown->button(QMessageBox::Ok)->click();
  });
  watch.start(20);
  StartCopy({"speechset\\deutsch\\eins.wav"});
  ASSERT_TRUE(ProcessUntil([] { return !Form4->isVisible(); }, kFaultMs));
  ASSERT_NE(box, 0u) << "no failure box was shown";
  EXPECT_EQ(boxParent, Form4);
  EXPECT_GT(StackPlace(stackWhileShown, box), StackPlace(stackWhileShown, dialog))
      << "the box must stand above the dialog that opened it";
  EXPECT_GE(StackPlace(stackWhileShown, dialog), 0);
}

TEST_F(Desktop, TheCopyDialogCanBeMovedButNeitherMinimisedNorMaximised) {
  sim.SetDelay('B', 60s);  // the run waits in its level query while the test looks
  StartCopy({});
  const WId dialog = Form4->winId();
  ASSERT_TRUE(Managed(dialog));
  QStringList actions;
  ASSERT_TRUE(ProcessUntil(
      [&] {
        actions = AllowedActions(dialog);
        return !actions.isEmpty();
      },
      kFaultMs));
  EXPECT_TRUE(actions.contains("MOVE")) << actions.join(' ').toStdString();
  for (const char* forbidden : {"MINIMIZE", "MAXIMIZE_HORZ", "MAXIMIZE_VERT", "RESIZE", "FULLSCREEN"})
    EXPECT_FALSE(actions.contains(forbidden)) << forbidden << " in " << actions.join(' ').toStdString();
  Form4->BitBtn1->click();
}

TEST_F(Desktop, AClickOnTheMainWindowsMenuDuringARunOpensNothingAndSendsNothing) {
  // Where "Test / Kalibrieren" lies in its menu, found while nothing runs.
  QMenu* menu = Form1->Funktionen1;
  const QRect title = Form1->MainMenu1->actionGeometry(menu->menuAction());
  const QPoint titleAt = Form1->MainMenu1->mapToGlobal(title.center());
  menu->popup(Form1->MainMenu1->mapToGlobal(title.bottomLeft()));
  ASSERT_TRUE(ProcessUntil([&] { return menu->isVisible(); }, kFaultMs));
  const QPoint itemAt = menu->mapToGlobal(menu->actionGeometry(Form1->Kalibrieren1).center());
  menu->hide();
  int menusOpened = 0;
  for (QMenu* each : Form1->MainMenu1->findChildren<QMenu*>())
    QObject::connect(each, &QMenu::aboutToShow, [&] { ++menusOpened; });

  audio.lengthOfNewStreams = 44100 * 600;  // the file plays until the test ends it
  StartCopy({"speechset\\deutsch\\begruessung\\guten_morgen_und_einen_schoenen_tag.wav"});
  ASSERT_TRUE(ProcessUntil([] { return Form4->Timer1->Tag == TForm4::TrackPlayback && CopyStream != 0; },
                           kFaultMs));
  ASSERT_TRUE(Managed(Form4->winId()));
  audio.streams[CopyStream].position = 44100 * 250;
  Screenshot("copy-dialog-mid-run");
  const std::string before = sim.Received();

  ClickAt(titleAt);
  ClickAt(itemAt);
  // A click the dialog takes, after them: once it has arrived, so have they.
  PressCounter marker;
  Form4->Memo1->viewport()->installEventFilter(&marker);
  ClickAt(Form4->Memo1->viewport()->mapToGlobal(Form4->Memo1->viewport()->rect().center()));
  ASSERT_TRUE(ProcessUntil([&] { return marker.presses > 0; }, kFaultMs)) << "the copy dialog took no click";

  EXPECT_EQ(menusOpened, 0);
  EXPECT_FALSE(Form5->isVisible());
  EXPECT_EQ(sim.Received(), before);

  audio.Finish(CopyStream);
  ASSERT_TRUE(ProcessUntil([] { return Form4->BitBtn2->isEnabled(); }, kFaultMs));
  // The run is over: the program takes input again while the dialog still shows.
  ClickAt(titleAt);
  EXPECT_TRUE(ProcessUntil([&] { return menusOpened == 1; }, kFaultMs));
  QTest::keyClick(QApplication::activePopupWidget() ? QApplication::activePopupWidget() : Form1, Qt::Key_Escape);
  Form4->BitBtn2->click();
}

}  // namespace

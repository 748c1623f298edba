// The program's real windows on a private X server (see run-on-x), under
// openbox and under no window manager at all: what the user sees there is
// decided by the window manager, from the properties it reads and writes, or
// without one by the X server's own stacking, and the test reads them back the
// way any X client can. Clicks are real pointer clicks through the X server.
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
#include <QWindow>
#include <algorithm>

#include "app/comportselect.h"
#include "app/info.h"
#include "speech/audio.h"
#include "speech/sprachdat.h"
#include "tools/ntpsync.h"
#include "speech/voicecopy.h"
#include "tests/app/apptest.h"
#include "tests/app/heldmenupresses.h"
#include "tests/gui/onscreenprogram.h"
#include "tools/test.h"

namespace {

using namespace std::chrono_literals;

bool WindowManagerRuns() {
  return RunTool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains(QLatin1String("window id"));
}

std::vector<WId> WindowIds(const QString& text) {
  std::vector<WId> ids;
  const QRegularExpression hex("0x[0-9a-fA-F]+");
  for (auto it = hex.globalMatch(text); it.hasNext();) ids.push_back(it.next().captured().toULongLong(nullptr, 16));
  return ids;
}

// The stacking order, bottom first: the window manager's, or without one the X
// server's own order of the screen's top-level windows (mapped or not).
std::vector<WId> Stacking() {
  if (WindowManagerRuns()) return WindowIds(RunTool("xprop", {"-root", "-notype", "_NET_CLIENT_LIST_STACKING"}));
  // xwininfo lists the root's children top first, one per line.
  std::vector<WId> ids;
  for (const QString& line : RunTool("xwininfo", {"-root", "-children"}).split('\n')) {
    const QString trimmed = line.trimmed();
    if (trimmed.startsWith(QLatin1String("0x"))) ids.push_back(trimmed.section(' ', 0, 0).toULongLong(nullptr, 16));
  }
  std::reverse(ids.begin(), ids.end());
  return ids;
}

// The window `window` is transient for, as the window manager reads it; 0 for none.
WId TransientFor(WId window) {
  const std::vector<WId> ids =
      WindowIds(RunTool("xprop", {"-id", QString::number(window), "-notype", "WM_TRANSIENT_FOR"}));
  return ids.empty() ? 0 : ids.front();
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

class Desktop : public OnScreenProgram {
 protected:
  void SetUp() override { SetUpOn("xcb", "needs X11: run it through tests/gui/run-on-x (openbox or none)"); }

  // Until the window manager has the window in its stacking order, or without
  // one until the window is mapped (Qt asks for the mapping without waiting).
  bool Managed(WId window) {
    if (!WindowManagerRuns())
      return ProcessUntil(
          [&] {
            return RunTool("xwininfo", {"-id", QString::number(window)}).contains(QLatin1String("IsViewable"));
          },
          kFaultMs);
    return ProcessUntil([&] { return StackPlace(Stacking(), window) >= 0; }, kFaultMs);
  }

  // A real click on the middle of a widget. The point is given in its
  // window's own coordinates, which the X server resolves when the pointer
  // moves: a window manager may still be placing the window.
  static void ClickOn(QWidget* widget) {
    const QPoint at = widget->mapTo(widget->window(), widget->rect().center());
    RunTool("xdotool", {"mousemove", "--sync", "--window", QString::number(widget->window()->winId()),
                        QString::number(at.x()), QString::number(at.y()), "click", "1"});
  }

  // Keeps the screen when VELLAMO_SCREENSHOTS names a folder.
  void Screenshot(const QString& name) {
    const QString folder = ScreenshotFolder();
    if (folder.isEmpty()) return;
    ProcessFor(500);  // painted, and the progress bar polled once more
    RunTool("/usr/bin/import", {"-window", "root", folder + "/" + name + ".png"});
  }
};

TEST_F(Desktop, AFailureBoxStandsAboveTheStayOnTopCopyDialog) {
  sim.SetValues('B', {0});  // a failed level query ends the run with a box
  std::vector<WId> stackWhileShown;
  WId dialog = 0, box = 0, boxOwner = 0;
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
    boxOwner = TransientFor(box);
    Screenshot("failure-box-above-copy-dialog");
    shown->button(QMessageBox::Ok)->click();
  });
  watch.start(20);
  StartCopy({"speechset\\deutsch\\eins.wav"});
  ASSERT_TRUE(ProcessUntil([] { return !Form4->isVisible(); }, kFaultMs));
  ASSERT_NE(box, 0u) << "no failure box was shown";
  EXPECT_EQ(boxParent, Form4);
  EXPECT_EQ(boxOwner, dialog);
  EXPECT_GT(StackPlace(stackWhileShown, box), StackPlace(stackWhileShown, dialog))
      << "the box must stand above the dialog that opened it";
  EXPECT_GE(StackPlace(stackWhileShown, dialog), 0);
}

TEST_F(Desktop, TheCopyDialogCanBeMovedButNeitherMinimisedNorMaximised) {
  if (!WindowManagerRuns()) GTEST_SKIP() << "without a window manager no window has a title bar";
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

TEST_F(Desktop, EveryDialogBelongsToTheMainWindow) {
  sim.SetDelay('B', 60s);  // the copy run waits in its level query while the test looks
  const WId main = Form1->winId();
  for (QWidget* dialog : std::initializer_list<QWidget*>{Form2, Form3, Form4, Form5, Form6, Form7}) {
    const std::string caption = dialog->windowTitle().toStdString();
    dialog->show();
    ASSERT_TRUE(Managed(dialog->winId())) << caption;
    EXPECT_EQ(TransientFor(dialog->winId()), main) << caption;
    EXPECT_EQ(dialog->windowHandle()->transientParent(), Form1->windowHandle()) << caption;
    if (dialog == Form4)
      Form4->BitBtn1->click();
    else
      dialog->hide();
  }
}

// The road a user takes: "Sprachdaten Update" from the menu, its "OK", then
// the copy dialog's "Abbrechen", all by real clicks. Meanwhile an
// accessibility tool presses menu items of the greyed main window.
TEST_F(Desktop, DuringARunTheGreyedMainWindowRefusesAccessibilityAndARealClickOnAbbrechenEndsTheRun) {
  audio.lengthOfNewStreams = 44100 * 600;  // the first entry plays until the test ends the run
  level.value = 30000;
  Form1->Sprachdatenbertragen1->trigger();
  ASSERT_TRUE(Managed(Form6->winId()));
  ClickOn(Form6->BitBtn2);
  ASSERT_TRUE(ProcessUntil([] { return Form4->Timer1->Tag == TForm4::TrackPlayback && CopyStream != 0; },
                           kFaultMs))
      << "the update dialog's OK started no run";
  ASSERT_TRUE(Managed(Form4->winId()));
  audio.streams[CopyStream].position = 44100 * 250;
  EXPECT_FALSE(Form1->isEnabled());
  Screenshot("copy-greyed");

  ASSERT_NO_FATAL_FAILURE(ExpectHeldMenuPressesToDoNothing(sim));
  const std::string before = sim.Received();

  ClickOn(Form4->BitBtn1);
  ASSERT_TRUE(ProcessUntil([] { return !Form4->isVisible(); }, kFaultMs))
      << "the click on Abbrechen did not reach the copy dialog";
  ASSERT_TRUE(sim.WaitForReceived(before.size() + 1, 5s));
  EXPECT_EQ(sim.Received().back(), '{');
  EXPECT_EQ(level.value, 30000u);
  EXPECT_TRUE(Form1->isEnabled());
}

}  // namespace

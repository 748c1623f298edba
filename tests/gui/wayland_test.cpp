// The program as a native Wayland client of a compositor (weston, headless,
// see run-under-weston), where no client can keep a window on top: a dialog
// stays reachable only by belonging to the window it was opened from.
#include <gmock/gmock.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QWindow>

#include "speech/audio.h"
#include "tests/gui/onscreenprogram.h"

namespace {

class Wayland : public OnScreenProgram {
 protected:
  void SetUp() override {
    SetUpOn("wayland", "needs a Wayland compositor: run it through tests/gui/run-under-weston");
  }

  // Until the compositor shows the window.
  static bool Exposed(QWidget* window) {
    return ProcessUntil([window] { return window->windowHandle() && window->windowHandle()->isExposed(); },
                        kFaultMs);
  }

  // weston (started with --debug) lets its own screenshot client read the
  // screen; the client names the file by the time, so it is renamed.
  static void Screenshot(const QString& name) {
    const QString folder = ScreenshotFolder();
    if (folder.isEmpty()) return;
    ProcessFor(500);  // painted
    QDir shots(folder);
    const QStringList before = shots.entryList({"wayland-screenshot-*.png"});
    RunTool("weston-screenshooter", {}, folder);
    for (const QString& file : shots.entryList({"wayland-screenshot-*.png"}))
      if (!before.contains(file)) {
        shots.remove(name + ".png");
        shots.rename(file, name + ".png");
      }
  }
};

TEST_F(Wayland, TheProgramRunsNativelyAndACopyRunsToSuccessInItsOwnedDialog) {
  // The platform plugin speaks Wayland itself: no X server stands between.
  EXPECT_EQ(QGuiApplication::platformName(), "wayland");
  ASSERT_TRUE(Exposed(Form1));

  StartCopy({"speechset\\deutsch\\eins.wav"});
  ASSERT_TRUE(Exposed(Form4));
  EXPECT_EQ(Form4->windowHandle()->transientParent(), Form1->windowHandle());
  ASSERT_TRUE(ProcessUntil([] { return Form4->Timer1->Tag == TForm4::TrackPlayback && CopyStream != 0; },
                           kFaultMs));
  EXPECT_FALSE(Form1->isEnabled());
  audio.Finish(CopyStream);
  ASSERT_TRUE(ProcessUntil([] { return Form4->Label1->text() == "Status: Übertragung erfolgreich!"; }, kFaultMs))
      << Form4->Label1->text().toStdString() << "\nreceived: " << sim.Received();
  EXPECT_TRUE(Form1->isEnabled());
  Screenshot("wayland-copy-succeeded");
  Form4->BitBtn2->click();
  EXPECT_FALSE(Form4->isVisible());
}

TEST_F(Wayland, AFailureBoxBelongsToTheCopyDialog) {
  sim.SetValues('B', {0});  // a failed level query ends the run with a box
  const QWindow* boxOwner = nullptr;
  bool boxShown = false;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || boxShown) return;
    boxShown = true;
    // In the box's own wait: read its owner once the compositor shows it.
    if (Exposed(box)) boxOwner = box->windowHandle()->transientParent();
    Screenshot("wayland-failure-box");
    box->button(QMessageBox::Ok)->click();
  });
  watch.start(20);
  StartCopy({"speechset\\deutsch\\eins.wav"});
  ASSERT_TRUE(ProcessUntil([] { return !Form4->isVisible(); }, kFaultMs));
  ASSERT_TRUE(boxShown) << "no failure box was shown";
  EXPECT_EQ(boxOwner, Form4->windowHandle());
}

}  // namespace

// "Test / Kalibrieren" driven through its own controls, with the device
// simulator on a real pty behind the command channel: what the device receives
// for each action, what the bars show, and the buttons of each state. The
// converter reads wait while events are processed, so several tests click or
// hide in the middle of a cycle.
#include "tools/test.h"

#include <gmock/gmock.h>

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <regex>

#include "devsim/devicesimulator.h"
#include "tests/support/devicewait.h"
#include "tests/support/eventwait.h"
#include "tests/support/linkfixture.h"
#include "tests/support/paramname.h"

using namespace std::chrono_literals;
namespace DL = DeviceLink;

namespace {

enum class State { Idle, Converter, Clock };

class TestDialog : public ::testing::Test {
 protected:
  LinkFixture link;
  devsim::DeviceSimulator sim;
  std::unique_ptr<TForm5> form;

  TestDialog() {
    RtcTestRunning = 0;
    sim.SetValues('A', {100});
    sim.SetValues('B', {600});
    DL::OpenDevicePort(QString::fromStdString(sim.PortPath()));
    // The idle worker takes 200 to 400 ms to notice the opening.
    EXPECT_TRUE(ProcessUntil([this] { return link.port->WorkerBusy(); }, 2000));
    form = std::make_unique<TForm5>();
  }
  ~TestDialog() override {
    form.reset();
    DL::CloseDevicePort();
  }

  // What the device has received once it holds at least `count` bytes.
  std::string Received(size_t count) {
    EXPECT_TRUE(ProcessUntil([&] { return sim.Received().size() >= count; }, 4000))
        << "received so far: " << devsim::Printable(sim.Received());
    return sim.Received();
  }
  // What the device has received after a pause in which nothing more may come.
  std::string ReceivedAfterQuiet(int ms = 700) {
    ProcessFor(ms);
    return sim.Received();
  }
  bool BarsShow(int light, int audio, int timeoutMs = 4000) {
    return ProcessUntil(
        [&] { return form->ProgressBar1->value() == light && form->ProgressBar2->value() == audio; }, timeoutMs);
  }
  // A converter cycle has ended when the device has had `count` bytes and the
  // channel no longer waits for an answer.
  bool CycleEndedAt(size_t count) {
    return ProcessUntil([&] { return sim.Received().size() >= count && DL::AnswerState == 0; }, 4000);
  }

  void WhenReceived(size_t count, std::function<void()> action) {
    WhenDeviceHolds(form.get(), sim, count, std::move(action));
  }

  void ExpectState(State state, const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(form->BitBtn2->isEnabled(), state != State::Clock) << "ADC Test";
    EXPECT_EQ(form->BitBtn3->isEnabled(), state == State::Converter) << "Helligkeit setzen";
    EXPECT_EQ(form->BitBtn4->isEnabled(), state != State::Converter) << "RTC Test";
    EXPECT_EQ(form->BitBtn5->isEnabled(), state == State::Idle) << "Audio Test";
    EXPECT_TRUE(form->BitBtn1->isEnabled()) << "OK";
    EXPECT_EQ(form->Timer1->Tag, state == State::Converter ? 1 : 0);
    EXPECT_EQ(form->Timer1->isActive(), state == State::Converter);
    EXPECT_EQ(RtcTestRunning, state == State::Clock ? 1 : 0);
  }
};

QStringList TextsOf(QWidget* panel) {
  QStringList texts;
  for (QLabel* label : panel->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) texts << label->text();
  return texts;
}

TEST_F(TestDialog, IsBuiltAsDesignedAndStartsIdle) {
  EXPECT_EQ(form->windowTitle(), "Test / Kalibrieren");
  EXPECT_EQ(form->size(), QSize(449, 303));
  EXPECT_EQ(form->minimumSize(), form->maximumSize()) << "fixed size";
  EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(form->font().pointSize(), 8);

  for (QFrame* panel : {form->Panel1, form->Panel2, form->Panel3}) {
    EXPECT_EQ(panel->frameShadow(), QFrame::Sunken);
    EXPECT_TRUE(panel->findChildren<QLabel*>().front()->font().bold());
  }
  EXPECT_THAT(TextsOf(form->Panel1),
              testing::ElementsAre("Analog Digital Wandler", "Hier können die A/D Konverter überprüft",
                                   "und der Schwellwert für die Display Dimm-", "funktion gesetzt werden.",
                                   "Helligkeit", "Audiopegel"));
  EXPECT_THAT(TextsOf(form->Panel2),
              testing::ElementsAre("Realtime Clock", "32,768kHz auf dem Testpin", "ausgeben."));
  EXPECT_THAT(TextsOf(form->Panel3), testing::ElementsAre("Sprachausgabe", "Spiele Segment:"));

  for (QProgressBar* bar : {form->ProgressBar1, form->ProgressBar2}) {
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 1023);
    EXPECT_EQ(bar->value(), 0);
  }
  EXPECT_EQ(form->BitBtn1->text(), "OK");
  EXPECT_FALSE(form->BitBtn1->icon().isNull());
  EXPECT_EQ(form->BitBtn2->text(), "ADC Test");
  EXPECT_EQ(form->BitBtn3->text(), "Helligkeit setzen");
  EXPECT_EQ(form->BitBtn4->text(), "RTC Test");
  EXPECT_EQ(form->BitBtn5->text(), "Audio Test");
  EXPECT_EQ(form->SpinEdit1->MinValue, 0);
  EXPECT_EQ(form->SpinEdit1->MaxValue, 255);
  EXPECT_EQ(form->SpinEdit1->Text(), "0");
  EXPECT_EQ(form->Timer1->interval(), 250);
  ExpectState(State::Idle, "as created");
  EXPECT_EQ(ReceivedAfterQuiet(100), "") << "creating the dialog sends nothing";
}

TEST_F(TestDialog, ShowingEntersServiceModeOnceAndHidingWhenIdleOnlyLeavesIt) {
  form->show();
  EXPECT_EQ(Received(1), "*");
  form->show();
  EXPECT_EQ(ReceivedAfterQuiet(200), "*") << "showing a visible dialog sends nothing";
  form->hide();
  EXPECT_EQ(Received(2), "*{");
  form->hide();
  EXPECT_EQ(ReceivedAfterQuiet(200), "*{");
  EXPECT_FALSE(sim.InServiceMode());
}

TEST_F(TestDialog, OkAndTheCloseBoxBothHideTheDialogAndLeaveServiceMode) {
  form->show();
  form->BitBtn1->click();
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(Received(2), "*{");
  form->show();
  EXPECT_TRUE(form->close());
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(Received(4), "*{*{");
}

TEST_F(TestDialog, HidingDuringTheClockTestSendsStopThenLeaveAndTheDeviceGetsBoth) {
  form->show();
  form->BitBtn4->click();
  EXPECT_EQ(Received(2), "*D");
  ExpectState(State::Clock, "clock test on");
  form->hide();
  EXPECT_EQ(Received(4), "*DE{");
  EXPECT_FALSE(sim.State().rtcTest);
  EXPECT_FALSE(sim.InServiceMode());
  ExpectState(State::Idle, "hidden");
}

TEST_F(TestDialog, HidingDuringTheConverterTestSendsNothingForItAndShowingAgainStartsIdle) {
  form->show();
  // Hidden between two cycles (the timer armed, no query waiting): from the event
  // loop right after the first cycle, as the next one is only 250 ms away and a
  // busy machine may keep the test's own level from looking that long.
  bool hideQueued = false;
  QObject::connect(form->ProgressBar2, &QProgressBar::valueChanged, form.get(), [&](int value) {
    if (value != 600 || hideQueued) return;
    hideQueued = true;
    QMetaObject::invokeMethod(form.get(), [&] { form->hide(); }, Qt::QueuedConnection);
  });
  form->BitBtn2->click();
  ASSERT_TRUE(ProcessUntil([&] { return hideQueued && !form->isVisible(); }, kFaultMs));
  EXPECT_EQ(ReceivedAfterQuiet(), "*AB{");
  ExpectState(State::Idle, "hidden");
  form->show();
  EXPECT_EQ(ReceivedAfterQuiet(), "*AB{*");
  ExpectState(State::Idle, "shown again");
  EXPECT_EQ(form->ProgressBar1->value(), 0);
  EXPECT_EQ(form->ProgressBar2->value(), 0);
}

TEST_F(TestDialog, EachCycleAsksLightThenAudioAndShowsLightInverted) {
  sim.SetValues('A', {0, 1023, 100, 1500});
  sim.SetValues('B', {10, 20, 30, 1500});
  form->show();
  ASSERT_EQ(Received(1), "*");
  form->BitBtn2->click();
  EXPECT_EQ(ReceivedAfterQuiet(150), "*") << "starting the test sends nothing; the first cycle follows";
  EXPECT_TRUE(BarsShow(1023, 10)) << "light 0 fills the light bar";
  EXPECT_TRUE(BarsShow(0, 20)) << "light 1023 empties it";
  EXPECT_TRUE(BarsShow(923, 30));
  EXPECT_TRUE(BarsShow(0, 1023)) << "above 1023: light bar empty, audio bar full";
  EXPECT_EQ(sim.Received(), "*ABABABAB");
  ExpectState(State::Converter, "after four cycles");
}

TEST_F(TestDialog, AFailedReadLeavesItsBarWhileTheOtherBarMoves) {
  form->show();
  form->BitBtn2->click();
  ASSERT_TRUE(BarsShow(923, 600));
  sim.SetAnswer('A', "hell");  // not a number
  sim.SetValues('B', {300});
  EXPECT_TRUE(BarsShow(923, 300));
  sim.SetAnswer('A', std::nullopt);  // no answer: about one second
  sim.SetValues('B', {400});
  EXPECT_TRUE(BarsShow(923, 400));
  sim.SetValues('A', {23});
  sim.SetAnswer('B', "laut");
  EXPECT_TRUE(BarsShow(1000, 400));
  EXPECT_TRUE(std::regex_match(sim.Received(), std::regex(R"(\*(AB)+)")))
      << "audio is asked even after the light read failed: " << sim.Received();
  ExpectState(State::Converter, "failed reads keep the test running");
}

TEST_F(TestDialog, StoppingTheTestWhileACycleWaitsEndsThatCycleWithEmptyBarsAndTheTimerOff) {
  form->show();
  form->BitBtn2->click();
  ASSERT_TRUE(BarsShow(923, 600));
  sim.SetDelay('A', 400ms);
  int stateWhenStopped = 0;
  WhenReceived(4, [&] {  // the second cycle waits for "A"
    stateWhenStopped = DL::AnswerState;
    form->BitBtn2->click();
    ExpectState(State::Idle, "stopped");
  });
  // The cycle still gets its answers; without reading its flag again it would
  // show them and re-arm.
  ASSERT_TRUE(CycleEndedAt(5));
  EXPECT_EQ(stateWhenStopped, 1) << "stopped while the light query waited";
  EXPECT_EQ(form->ProgressBar1->value(), 0);
  EXPECT_EQ(form->ProgressBar2->value(), 0);
  ExpectState(State::Idle, "after the cycle ended");
  EXPECT_EQ(ReceivedAfterQuiet(), "*ABAB");
}

TEST_F(TestDialog, StopAndRestartWithinOneCycleLeavesTheInnerCyclesIdleAndTheOuterOneFinishes) {
  sim.SetDelay('A', 400ms);
  form->show();
  int ticks = 0;
  QObject::connect(form->Timer1, &QTimer::timeout, [&] { ++ticks; });
  std::vector<int> lightShown, audioShown;
  QObject::connect(form->ProgressBar1, &QProgressBar::valueChanged, [&](int v) { lightShown.push_back(v); });
  QObject::connect(form->ProgressBar2, &QProgressBar::valueChanged, [&](int v) { audioShown.push_back(v); });
  form->BitBtn2->click();
  WhenReceived(2, [&] {  // the first cycle waits for "A"
    ticks = 0;
    form->BitBtn2->click();
    form->BitBtn2->click();
    ExpectState(State::Converter, "restarted");
  });
  ASSERT_TRUE(BarsShow(923, 600)) << devsim::Printable(sim.Received());
  EXPECT_EQ(sim.Received(), "*AB") << "cycles inside the wait found the channel busy and sent nothing";
  EXPECT_GE(ticks, 2) << "cycles did run inside the wait";
  EXPECT_THAT(lightShown, testing::ElementsAre(923)) << "only the outer cycle moved the bars";
  EXPECT_THAT(audioShown, testing::ElementsAre(600));
  ExpectState(State::Converter, "after the outer cycle");
  EXPECT_THAT(Received(4), testing::StartsWith("*ABA")) << "the test goes on";
}

// A hidden dialog sends nothing more, though its cycle waited for "A" (as when
// a starting copy hides it); the wait is let go, so that the copy finds the
// channel free, and the late "A" answer is taken by nobody.
TEST_F(TestDialog, HidingWhileACycleWaitsLeavesServiceModeAndTheCycleAsksNothingMore) {
  sim.SetDelay('A', 400ms);
  form->show();
  form->BitBtn2->click();
  int answerStateAfterHide = -2;
  WhenReceived(2, [&] {
    form->hide();
    answerStateAfterHide = DL::AnswerState;
  });
  ASSERT_TRUE(CycleEndedAt(3));
  EXPECT_EQ(answerStateAfterHide, 0) << "the channel is free as soon as the dialog is hidden";
  EXPECT_EQ(sim.Received(), "*A{");
  EXPECT_EQ(form->ProgressBar1->value(), 0);
  EXPECT_EQ(form->ProgressBar2->value(), 0);
  ExpectState(State::Idle, "hidden during a cycle");
  ASSERT_TRUE(sim.WaitForIdle(5s)) << "the late answer has come";
  EXPECT_EQ(ReceivedAfterQuiet(), "*A{");
}

TEST_F(TestDialog, StoringTheThresholdDuringACycleSendsCWhileTheQueryWaitsAndTheQueryStillGetsItsAnswer) {
  sim.SetDelay('A', 400ms);
  form->show();
  form->BitBtn2->click();
  WhenReceived(2, [&] { form->BitBtn3->click(); });
  WhenReceived(3, [&] {
    EXPECT_EQ(sim.Received(), "*AC");
    EXPECT_EQ(DL::AnswerState, 1) << "the light query still waits";
  });
  EXPECT_TRUE(BarsShow(923, 600));
  EXPECT_EQ(sim.Received(), "*ACB");
  EXPECT_EQ(sim.State().dimThresholdStores, 1);
}

TEST_F(TestDialog, ButtonsFollowTheStateTableThroughEveryTransition) {
  form->show();
  ExpectState(State::Idle, "shown");
  form->BitBtn2->click();
  ExpectState(State::Converter, "ADC Test");
  form->BitBtn4->click();  // disabled: nothing happens
  form->BitBtn5->click();
  form->BitBtn3->click();
  ExpectState(State::Converter, "Helligkeit setzen");
  form->BitBtn2->click();
  ExpectState(State::Idle, "ADC Test again");
  form->BitBtn4->click();
  ExpectState(State::Clock, "RTC Test");
  form->BitBtn2->click();  // disabled
  form->BitBtn3->click();  // disabled
  form->BitBtn5->click();  // disabled
  ExpectState(State::Clock, "disabled buttons clicked");
  form->BitBtn4->click();
  ExpectState(State::Idle, "RTC Test again");
  form->BitBtn5->click();
  ExpectState(State::Idle, "Audio Test");
  EXPECT_EQ(Received(6), std::string("*CDEF\x01"));
  EXPECT_EQ(ReceivedAfterQuiet(400), std::string("*CDEF\x01"));
}

TEST_F(TestDialog, ArrowKeysStepByOneAndStayWithinTheRange) {
  TSpinEdit* spin = form->SpinEdit1;
  QTest::keyClick(spin, Qt::Key_Up);
  EXPECT_EQ(spin->Text(), "1");
  QTest::keyClick(spin, Qt::Key_Down);
  QTest::keyClick(spin, Qt::Key_Down);
  EXPECT_EQ(spin->Text(), "0");
  spin->SetValue(255);
  QTest::keyClick(spin, Qt::Key_Up);
  EXPECT_EQ(spin->Text(), "255");
  QTest::keyClick(spin, Qt::Key_Down);
  EXPECT_EQ(spin->Text(), "254");
}

struct TypedSegment {
  const char* typed;
  const char* shownAfterClick;  // nullptr: the text is not examined
  uint8_t sentByte;
};

void PrintTo(const TypedSegment& s, std::ostream* out) {
  *out << "typed \"" << s.typed << "\", shown \"" << (s.shownAfterClick ? s.shownAfterClick : "-")
       << "\", sent 0x" << std::hex << int(s.sentByte) << std::dec;
}

class AudioTest : public TestDialog, public ::testing::WithParamInterface<TypedSegment> {};

TEST_P(AudioTest, PlaysTheTypedSegmentOnceTheFieldHasLostTheFocusToTheButton) {
  form->show();
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  form->SpinEdit1->setFocus();
  QTest::keyClick(form->SpinEdit1, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(form->SpinEdit1, GetParam().typed);
  ASSERT_EQ(form->SpinEdit1->Text(), GetParam().typed) << "the field takes what is typed";
  QTest::mouseClick(form->BitBtn5, Qt::LeftButton);
  if (GetParam().shownAfterClick) {
    EXPECT_EQ(form->SpinEdit1->Text(), GetParam().shownAfterClick);
  }
  EXPECT_EQ(Received(3), std::string("*F") + static_cast<char>(GetParam().sentByte));
}

INSTANTIATE_TEST_SUITE_P(TypedTexts, AudioTest,
                         testing::Values(TypedSegment{"7", "7", 0x08}, TypedSegment{"300", "255", 0x00},
                                         TypedSegment{"abc", nullptr, 0x01}, TypedSegment{"-4", "0", 0x01}),
                         [](const auto& info) { return "Typed" + ParamNameFromText(info.param.typed); });

}  // namespace

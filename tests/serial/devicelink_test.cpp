// The command channel over a real pty to the device simulator, with the real
// worker and the Qt event loop: the bytes the device sees and what each
// operation makes of the answers.
#include <gmock/gmock.h>

#include <QElapsedTimer>
#include <QTimer>

#include "devsim/devicesimulator.h"
#include "link/clocklink.h"
#include "tests/serial/fakeanswers.h"
#include "tests/serial/fakebackend.h"
#include "tests/support/cputime.h"
#include "tests/support/devicewait.h"
#include "tests/support/eventwait.h"
#include "tests/support/linkfixture.h"
#include "tests/support/paramname.h"
#include "tests/support/slowbuild.h"

using namespace std::chrono_literals;
namespace DL = DeviceLink;

namespace {

struct Channel : LinkFixture {
  devsim::DeviceSimulator sim;
  size_t receivedBytes = 0;  // every byte of every cluster, taken by a query or not
  Channel() {
    port->OnRxClusterEvent = [this](TSerialPort* p) {
      const std::string text = p->ReadClusterText();
      receivedBytes += text.size();
      DL::AcceptAnswer(text);
    };
    DL::OpenDevicePort(QString::fromStdString(sim.PortPath()));
    // The idle worker takes 200 to 400 ms to notice the opening.
    EXPECT_TRUE(ProcessUntil([this] { return port->WorkerBusy(); }, kFaultMs));
  }
};

TEST(DeviceLinkPort, OpensAt38400EightNoneOneRaw) {
  Channel c;
  ASSERT_TRUE(c.port->Active());
  const termios t = c.sim.SlaveSettings();
  EXPECT_EQ(cfgetospeed(&t), B38400);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(t.c_cflag & PARENB);
  EXPECT_FALSE(t.c_cflag & CSTOPB);
  EXPECT_FALSE(t.c_cflag & CRTSCTS);
  EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | ICRNL));
  EXPECT_FALSE(t.c_oflag & OPOST);
  EXPECT_EQ(DL::ConnectionText, "Verbunden auf " + QString::fromStdString(c.sim.PortPath()) + ".");
  DL::CloseDevicePort();
  EXPECT_FALSE(c.port->Active());
  EXPECT_EQ(DL::ConnectionText, "Nicht verbunden.");
}

TEST(DeviceLinkPort, AFailedOpenIsNotShownAsConnected) {
  LinkFixture f;
  DL::OpenDevicePort("/dev/vellamo-no-such-port");
  EXPECT_FALSE(f.port->Active());
  EXPECT_EQ(DL::ConnectionText, "Nicht verbunden.");
  DL::OpenDevicePort("");
  EXPECT_EQ(DL::ConnectionText, "Nicht verbunden.");
}

TEST(DeviceLinkCommands, SendOnlyCommandsWriteExactlyTheirBytes) {
  Channel c;
  DL::EnterServiceMode();
  DL::StoreDimThreshold();
  DL::StartRtcTest();
  DL::StopRtcTest();
  DL::PlaySegment(0);
  DL::PlaySegment(7);
  DL::PlaySegment(255);
  DL::BeginCopySession();
  DL::StartProcessing();
  DL::LeaveServiceMode();
  const std::string expected = std::string(
                                   "*CDEF\x01"
                                   "F\x08"
                                   "F") +
                               '\0' + "GH{";
  ASSERT_TRUE(c.sim.WaitForReceived(expected.size(), 20s));
  ProcessFor(50);
  EXPECT_EQ(c.sim.Received(), expected);
  EXPECT_EQ(DL::AnswerState, 0) << "send-only commands leave the channel idle";
}

TEST(DeviceLinkQueries, AnswersBecomeNumbersAndVerdicts) {
  Channel c;
  c.sim.SetAnswer('B', " 512");
  EXPECT_EQ(DL::ReadAudioLevel(), 512);
  c.sim.SetAnswer('A', "$3FF");
  EXPECT_EQ(DL::ReadLightLevel(), 1023);
  c.sim.SetAnswer('A', "12a");
  EXPECT_EQ(DL::ReadLightLevel(), -1);
  c.sim.SetAnswer('I', "+");
  EXPECT_EQ(DL::StartRecording(), 0);
  c.sim.SetAnswer('I', "+x");
  EXPECT_EQ(DL::StartRecording(), -1);
  c.sim.SetAnswer('J', "-");
  EXPECT_EQ(DL::StopRecording(), 1);
  c.sim.SetAnswer('K', "+");
  EXPECT_EQ(DL::AwaitProcessingResult(), 0);
  EXPECT_EQ(c.sim.Received(), "BAAIIJK");
}

TEST(DeviceLinkQueries, MalformedAnswersGiveMinusOneAndTheNextQueryStillWorks) {
  Channel c;
  // NUL bytes around the number are trimmed like any control character; inside it they are not.
  c.sim.SetAnswerBytes('B', std::string{'\0', '4', '2', '\0', '\r', '\n'});
  EXPECT_EQ(DL::ReadAudioLevel(), 42);
  c.sim.SetAnswerBytes('B', std::string{'4', '\0', '2', '\r', '\n'});
  EXPECT_EQ(DL::ReadAudioLevel(), -1);
  // Digits far beyond any 32-bit number, nearly a whole cluster of them; a pty
  // may hand so long a line over in pieces, which are still one answer.
  c.sim.SetAnswerBytes('B', std::string(3000, '7') + "\r\n");
  EXPECT_EQ(DL::ReadAudioLevel(), -1);
  // An answer is a line: a piece that never gets its line end is no reading,
  // and what follows it up to a line end is not the next query's answer.
  c.sim.SetAnswerBytes('B', "77");
  EXPECT_EQ(DL::ReadAudioLevel(), -1);
  c.sim.SendRaw("3\r\n");
  ASSERT_TRUE(ProcessUntil([&] { return c.receivedBytes == 6 + 5 + 3002 + 2 + 3; }, kFaultMs));
  c.sim.SetAnswer('B', "150");
  EXPECT_EQ(DL::ReadAudioLevel(), 150);
}

// A line split over two clusters is one answer while its query still waits;
// a query whose answer is still incomplete at its time-out fails, and the rest
// of that answer never becomes the next query's.
struct SplitCase {
  int gapMs;
  int32_t light;
};

class DeviceLinkSplitAnswer : public ::testing::TestWithParam<SplitCase> {};

TEST_P(DeviceLinkSplitAnswer, IsTheWholeLineOrNothingAndNeverTheNextQuerys) {
  Channel c;
  c.sim.SetSplit('A', 1, std::chrono::milliseconds(GetParam().gapMs));
  c.sim.SetDelay('B', 600ms);
  EXPECT_EQ(DL::ReadLightLevel(), GetParam().light);
  EXPECT_EQ(DL::ReadAudioLevel(), 150);
  EXPECT_EQ(c.sim.Received(), "AB");
}

INSTANTIATE_TEST_SUITE_P(Gaps, DeviceLinkSplitAnswer, ::testing::Values(SplitCase{300, 512}, SplitCase{1500, -1}),
                         [](const auto& info) { return std::to_string(info.param.gapMs) + "ms"; });

TEST(DeviceLinkQueries, NoAnswerTimesOutAfterAboutOneSecondWhileTimersRun) {
  Channel c;
  EXPECT_EQ(DL::ReadLightLevel(), 512);
  c.sim.SetAnswer('A', std::nullopt);
  int otherTimerTicks = 0;
  QTimer other;
  QObject::connect(&other, &QTimer::timeout, [&] { ++otherTimerTicks; });
  other.start(50);
  QElapsedTimer took;
  took.start();
  EXPECT_EQ(DL::ReadLightLevel(), -1);
  EXPECT_GE(took.elapsed(), 800) << "ten ticks of the running 100 ms timer";
  // An upper bound, left to the plain build: the ticks run late under a sanitizer.
  if (!kSanitizedBuild) {
    EXPECT_LE(took.elapsed(), 2000);
  }
  EXPECT_GE(otherTimerTicks, 10) << "the wait keeps processing window messages";
}

TEST(DeviceLinkQueries, ASecondQueryDuringAWaitIsRefusedAndSendsNothing) {
  Channel c;
  c.sim.SetDelay('B', 200ms);
  int nested = 0;
  bool asked = false;
  // The second query comes once the first one's command has reached the device,
  // while the first waits for its answer.
  QTimer second;
  second.setInterval(5);
  QObject::connect(&second, &QTimer::timeout, [&] {
    if (asked || c.sim.Received().empty()) return;
    asked = true;
    nested = DL::ReadLightLevel();
  });
  second.start();
  EXPECT_EQ(DL::ReadAudioLevel(), 150);
  EXPECT_TRUE(asked);
  EXPECT_EQ(nested, -1);
  EXPECT_EQ(c.sim.Received(), "B");
}

TEST(DeviceLinkQueries, ProcessingResultWaitsEighteenHundredTicks) {
  Channel c;
  c.sim.SetProcessingTime(600ms);
  int32_t ticksSeen = -1;
  // The time-out counts from the command.
  WhenDeviceHolds(nullptr, c.sim, 1, [&] { ticksSeen = DL::AnswerTicks; });
  EXPECT_EQ(DL::AwaitProcessingResult(), 0);
  EXPECT_GE(ticksSeen, 1795);
  EXPECT_LE(ticksSeen, 1800);
}

// At program end a waiting "K" gives up at once instead of holding the end
// for its three minutes; later queries fail without a byte, sends still go out.
TEST(DeviceLinkQuit, AbandoningEndsTheWaitingQueryAtOnceAndLaterQueriesSendNothing) {
  Channel c;
  c.sim.SetProcessingTime(60s);
  WhenDeviceHolds(nullptr, c.sim, 1, [] { DL::AbandonWaits(); });
  QElapsedTimer took;
  took.start();
  EXPECT_EQ(DL::AwaitProcessingResult(), -1);
  EXPECT_LT(took.elapsed(), 30000) << "the processing answer would come after 60 s";
  EXPECT_EQ(DL::AnswerState, 0);
  EXPECT_EQ(DL::ReadAudioLevel(), -1);
  EXPECT_EQ(DL::StartRecording(), -1);
  DL::LeaveServiceMode();
  ASSERT_TRUE(c.sim.WaitForReceived(2, 20s));
  EXPECT_EQ(c.sim.Received(), "K{");
}

TEST(DeviceLinkUnplug, AQueryReturnsMinusOneAndTheWorkerDoesNotSpin) {
  Channel c;
  c.sim.SetAnswer('B', std::nullopt);
  QTimer::singleShot(100, [&] { c.sim.Unplug(); });
  EXPECT_EQ(DL::ReadAudioLevel(), -1);
  const double before = ProcessCpuMs();
  ProcessFor(1000);
  const double cpuMs = ProcessCpuMs() - before;
  // A spinning worker costs a core, the whole second; the test's own event loop a
  // few per cent; under a sanitizer's instrumentation that share is no measure.
  if (!kSanitizedBuild) {
    EXPECT_LT(cpuMs, 100) << "a gone device is a state, not a loop";
  }
  DL::CloseDevicePort();
  EXPECT_FALSE(c.port->Active());
}

// A query whose answer comes after its time-out leaves its debt standing: the
// late answer is dropped as its own, also when it comes nearly two seconds
// late, just before the next query's.
TEST(DeviceLinkLateAnswers, AnAnswerAlmostTwoSecondsLateIsNeverTheNextQuerys) {
  Channel c;
  c.sim.SetDelay('A', 1930ms);
  c.sim.SetDelay('B', 600ms);
  EXPECT_EQ(DL::ReadLightLevel(), -1);
  // "B" is asked half a second after the time-out, so that "A"'s answer comes
  // while "B" waits, and "B"'s own while it still waits.
  ProcessFor(500);
  EXPECT_EQ(DL::ReadAudioLevel(), 150);
  EXPECT_EQ(c.sim.Received(), "AB");
}

// Two commands back to back must both reach the device, even when the first
// write is still outstanding.
TEST(DeviceLinkSending, TheSecondOfTwoCommandsWaitsForTheFirstWrite) {
  auto state = std::make_shared<FakeState>();
  LinkFixture f(std::make_unique<FakeBackend>(state));
  DL::OpenDevicePort("ttyACM0");
  // The worker, which finishes writes, is active only after its idle nap.
  ASSERT_TRUE(ProcessUntil([&] { return f.port->WorkerBusy(); }, kFaultMs));
  state->holdWrites = true;
  QTimer::singleShot(100, [state] { state->FinishHeldWrite(); });
  DL::StopRtcTest();
  DL::LeaveServiceMode();
  EXPECT_THAT(state->Written(), ::testing::ElementsAre("E", "{"));
}

// On a starved machine the worker sees a write finish long after the write's
// own time-out; the next command waits for it rather than being dropped, and a
// query behind it still gets its answer.
TEST(DeviceLinkSending, ACommandWaitsForAWriteThatFinishesLongAfterItsTimeOut) {
  auto state = std::make_shared<FakeState>();
  LinkFixture f(std::make_unique<FakeBackend>(state));
  DL::OpenDevicePort("ttyACM0");
  ASSERT_TRUE(ProcessUntil([&] { return f.port->WorkerBusy(); }, kFaultMs));
  state->holdWrites = true;
  // Four times the write's time-out of 250 ms.
  QTimer::singleShot(1000, [state] { state->FinishHeldWrite(); });
  DL::StopRtcTest();
  DL::LeaveServiceMode();
  DL::EnterServiceMode();
  EXPECT_THAT(state->Written(), ::testing::ElementsAre("E", "{", "*"));
}

TEST(DeviceLinkSending, AWriteThatNeverEndsHoldsTheNextOnlyForItsTimeOut) {
  auto state = std::make_shared<FakeState>();
  LinkFixture f(std::make_unique<FakeBackend>(state));
  DL::OpenDevicePort("ttyACM0");
  ASSERT_TRUE(ProcessUntil([&] { return f.port->WorkerBusy(); }, kFaultMs));
  {
    std::lock_guard lock(state->mutex);
    state->holdWrites = true;
    state->writeResult = serialcodes::kIoPending;
  }
  DL::StopRtcTest();
  QElapsedTimer took;
  took.start();
  DL::LeaveServiceMode();
  // The write's time-out, not a wait without end; left to the plain build.
  if (!kSanitizedBuild) {
    EXPECT_LE(took.elapsed(), 1000);
  }
  EXPECT_THAT(state->Written(), ::testing::ElementsAre("E", "{"));
}

// The channel on a fake backend whose device answers "A" and "B" at once.
struct FakeChannel {
  std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
  LinkFixture link{std::make_unique<FakeBackend>(state)};
  FakeAnswers device{state, {{'A', "300"}, {'B', "150"}}};
  FakeChannel() {
    DL::OpenDevicePort("ttyACM0");
    EXPECT_TRUE(ProcessUntil([this] { return link.port->WorkerBusy(); }, kFaultMs));
  }
  // A query was answered: the clock owes nothing.
  void Settle() { EXPECT_EQ(DL::ReadLightLevel(), 300); }
  // Once `bytes` have come and been handed to the channel (which drops them),
  // the write held outstanding ends.
  void ArriveThenEndHeldWrite(const std::string& bytes, QTimer& watch) {
    state->Receive(bytes);
    QObject::connect(&watch, &QTimer::timeout, [this, &watch] {
      if (!state->RxEmpty() || link.port->ClusterCount() != 0) return;
      watch.stop();
      state->FinishHeldWrite();
    });
    watch.start(1);
  }
};

// The device answers "A" only after the time-out, just before "B" is asked.
TEST(DeviceLinkStaleAnswers, ALateAnswerAfterATimeOutIsNotTakenForTheNextQuerys) {
  FakeChannel c;
  c.Settle();
  c.device.answers.erase('A');
  EXPECT_EQ(DL::ReadLightLevel(), -1);
  c.state->Receive("300\r\n");
  EXPECT_EQ(DL::ReadAudioLevel(), 150);
  EXPECT_THAT(c.state->Written(), ::testing::ElementsAre("A", "A", "B"));
}

// What the device sends as the port opens (the end of an earlier session's
// answer) comes before any command of this one.
TEST(DeviceLinkStaleAnswers, WhatArrivesAtAnOpeningIsNotTakenForTheFirstAnswer) {
  FakeChannel c;
  c.state->Receive("777\r\n");
  EXPECT_EQ(DL::ReadLightLevel(), 300);
  EXPECT_THAT(c.state->Written(), ::testing::ElementsAre("A"));
}

// A query's command waits for an earlier write to end (as an overlapped write
// pends); what arrives meanwhile came before the command.
TEST(DeviceLinkStaleAnswers, WhatArrivesWhileTheCommandWaitsForThePortIsNotItsAnswer) {
  FakeChannel c;
  c.Settle();
  c.state->HoldNextWriteOf('E');
  DL::StopRtcTest();
  QTimer watch;
  QTimer::singleShot(0, [&] { c.ArriveThenEndHeldWrite("999\r\n", watch); });
  EXPECT_EQ(DL::ReadLightLevel(), 300);
  EXPECT_THAT(c.state->Written(), ::testing::ElementsAre("A", "E", "A"));
}

// Commands leave in the order they were issued, also when one is issued inside
// another's wait for the port; a query let go during that wait sends nothing.
TEST(DeviceLinkSending, ACommandIssuedInsideAnothersWaitLeavesAfterItAndAReleasedQuerysNotAtAll) {
  FakeChannel c;
  c.Settle();
  const auto leaveInsideTheWait = [&](bool release) {
    QTimer::singleShot(0, [&c, release] {
      QTimer::singleShot(0, [&c] { c.state->FinishHeldWrite(); });
      if (release) DL::ReleaseWait();
      DL::LeaveServiceMode();
    });
  };
  c.state->HoldNextWriteOf('E');
  DL::StopRtcTest();
  leaveInsideTheWait(false);
  DL::StartRtcTest();
  EXPECT_THAT(c.state->Written(), ::testing::ElementsAre("A", "E", "D", "{"));

  c.state->HoldNextWriteOf('E');
  DL::StopRtcTest();
  leaveInsideTheWait(true);
  EXPECT_EQ(DL::ReadLightLevel(), -1);
  EXPECT_THAT(c.state->Written(), ::testing::ElementsAre("A", "E", "D", "{", "E", "{"));
  EXPECT_EQ(DL::AnswerState, 0);
  EXPECT_EQ(DL::CommandsWaiting(), 0u);
}

// An opening and a close let the waiting query go at once: it returns -1,
// never an answer of the new connection. Its debt stands, so the verdict the
// same clock gives for it later is not taken for the next verdict query's.
enum class LineEvent { Reopen, Close };

class DeviceLinkLineEvent : public ::testing::TestWithParam<LineEvent> {};

TEST_P(DeviceLinkLineEvent, EndsTheWaitingQueryAndItsLateAnswerGoesNowhere) {
  FakeChannel c;
  c.Settle();
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    if (c.state->Written().size() < 2) return;
    watch.stop();
    if (GetParam() == LineEvent::Close) DL::CloseDevicePort();
    DL::OpenDevicePort("ttyACM0");
  });
  watch.start(1);
  QElapsedTimer took;
  took.start();
  EXPECT_EQ(DL::AwaitProcessingResult(), -1);
  EXPECT_LT(took.elapsed(), 30000) << "the verdict's time-out is three minutes";
  // The processing's verdict comes just before the recording's.
  c.device.answers['I'] = "-\r\n+";
  EXPECT_EQ(DL::StartRecording(), 0);
  EXPECT_THAT(c.state->Written(), ::testing::ElementsAre("A", "K", "I"));
}

INSTANTIATE_TEST_SUITE_P(Events, DeviceLinkLineEvent, ::testing::Values(LineEvent::Reopen, LineEvent::Close),
                         [](const auto& info) { return info.param == LineEvent::Reopen ? "Reopen" : "Close"; });

struct NumberCase {
  const char* text;
  int32_t value;
};

void PrintTo(const NumberCase& c, std::ostream* out) { *out << '"' << c.text << "\" -> " << c.value; }

class ConvertNumber : public ::testing::TestWithParam<NumberCase> {};

// Several clocks on channels of their own, as a station asks them: every
// command written first, then the answers taken side by side. Each clock's
// answer is its own, and a silent clock holds no other's answer back: the
// answering clocks are done within a round trip, the silent one times out on
// its own tick.
struct OwnChannel {
  devsim::DeviceSimulator sim;
  // Before the port: the port's last deliveries, as it closes, reach a live channel.
  ClockLink link;
  TSerialPort port;
  QTimer tick;
  explicit OwnChannel(int level, bool silent) {
    sim.SetValues('B', {level});
    if (silent) sim.SetAnswer('B', std::nullopt);
    port.OnRxClusterEvent = [this](TSerialPort* p) { link.AcceptAnswer(p->ReadClusterText()); };
    link.Attach(&port);
    QObject::connect(&tick, &QTimer::timeout, [this] { link.Tick(); });
    tick.start(100);
    link.OpenDevicePort(QString::fromStdString(sim.PortPath()));
    EXPECT_TRUE(ProcessUntil([this] { return port.WorkerBusy(); }, kFaultMs));
  }
  ~OwnChannel() { link.Attach(nullptr); }
};

TEST(ClockLinks, EachClocksAnswerIsItsOwnAndASilentClockHoldsNoOtherBack) {
  ResetChannelState();
  std::vector<std::unique_ptr<OwnChannel>> clocks;
  for (const int level : {101, 202, 303}) clocks.push_back(std::make_unique<OwnChannel>(level, level == 202));
  // The first query after an opening waits for the port to settle; a healthy
  // station has asked before its first word.
  for (auto& clock : clocks) clock->link.QueryNumber('A');
  std::vector<ClockLink*> links;
  QElapsedTimer answered;
  answered.start();
  for (auto& clock : clocks) {
    EXPECT_TRUE(clock->link.WritesAtOnce('B'));
    EXPECT_TRUE(clock->link.WriteQuery('B', ClockLink::kShortTimeoutTicks));
    links.push_back(&clock->link);
  }
  ASSERT_TRUE(ProcessUntil([&] { return clocks[0]->link.QueryEnded() && clocks[2]->link.QueryEnded(); }, kFaultMs));
  EXPECT_FALSE(clocks[1]->link.QueryEnded()) << "the others' answers were not held back by the silent clock";
  ClockLink::CollectAll(links);
  EXPECT_GE(answered.elapsed(), 800) << "the silent clock's own time-out";
  EXPECT_EQ(clocks[0]->link.TakeResult(true), 101);
  EXPECT_EQ(clocks[1]->link.TakeResult(true), -1);
  EXPECT_EQ(clocks[2]->link.TakeResult(true), 303);
  EXPECT_EQ(DL::AnswerState, 0) << "the windows' channel untouched";
  for (auto& clock : clocks) EXPECT_EQ(clock->sim.Received(), "AB");
}

TEST_P(ConvertNumber, AcceptsSignDecimalAndHexOnly) {
  EXPECT_EQ(DL::ConvertNumber(GetParam().text), GetParam().value) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Texts, ConvertNumber,
                         ::testing::Values(NumberCase{"512", 512}, NumberCase{"+7", 7}, NumberCase{"-3", -3},
                                           NumberCase{"0", 0}, NumberCase{"$1F", 31}, NumberCase{"0x1f", 31},
                                           NumberCase{"0X10", 16}, NumberCase{"x10", 16},
                                           NumberCase{"X10", 16}, NumberCase{"-$10", -16},
                                           NumberCase{"$FFFFFFFF", -1}, NumberCase{"2147483647", 2147483647},
                                           NumberCase{"-2147483648", INT32_MIN}, NumberCase{"2147483648", -1},
                                           NumberCase{"$100000000", -1}, NumberCase{"", -1},
                                           NumberCase{"+", -1}, NumberCase{"+x", -1}, NumberCase{"$", -1},
                                           NumberCase{"1 2", -1}, NumberCase{"12a", -1},
                                           NumberCase{"--1", -1}, NumberCase{"0x", -1}),
                         [](const auto& info) { return ParamNameFromText(info.param.text); });

TEST(ConvertVerdict, OnlyExactPlusAndMinus) {
  EXPECT_EQ(DL::ConvertVerdict("+"), 0);
  EXPECT_EQ(DL::ConvertVerdict("-"), 1);
  for (const char* other : {"", "++", "+x", " +", "OK", "0"})
    EXPECT_EQ(DL::ConvertVerdict(other), -1) << other;
}

TEST(TrimControl, StripsBlanksAndControlCharactersAtBothEnds) {
  EXPECT_EQ(DL::TrimControl(" 512\r\n"), "512");
  EXPECT_EQ(DL::TrimControl(std::string("\0\t+ x\x1f", 6)), "+ x");
  EXPECT_EQ(DL::TrimControl("\r\n"), "");
}

}  // namespace

// The termios backend under the serial component, over a real pty: what a user of
// the component meets of the line settings and the line control.
#include <gmock/gmock.h>
#include <termios.h>

#include "devsim/adapterlines.h"
#include "serial/serialport.h"
#include "tests/serial/ptypair.h"
#include "tests/serial/reportlog.h"
#include "tests/support/eventwait.h"

using ::testing::ElementsAre;

namespace {

// A component on the pty, opened with the command channel's rate.
struct OpenPort {
  ReportLog log;
  std::unique_ptr<TSerialPort> port;

  explicit OpenPort(DeviceRequests requests = {}) {
    port = std::make_unique<TSerialPort>(MakePosixBackend(std::move(requests)), log.Handler());
  }
  void Open(const PtyPair& pty) {
    port->SetCommPort(pty.path);
    port->SetBaudRate(38400);
    port->SetActive(true);
  }
  ~OpenPort() { port.reset(); }
};

TEST(PtyLineSettings, TheChannelsSettingsAreTakenAndWhatTermiosCannotDoIsReportedAsInvalid) {
  PtyPair pty;
  OpenPort p;
  p.Open(pty);
  ASSERT_TRUE(p.port->Active());
  EXPECT_FALSE(p.log.Has(802, "Error setting CommState, 87 indicate that Parms are incorrect"));
  p.log.reports.clear();
  p.port->SetFlowControl(dcbflags::kRtsToggle);
  EXPECT_THAT(
      p.log.reports,
      ElementsAre(Report{802, 87, 0, "Error setting CommState, 87 indicate that Parms are incorrect"}));
}

// A new pty is cooked: line editing, echo, CR to NL. Opening makes it binary
// before the settings come, so a refused one is reported and changes nothing
// else: the device's answers are neither echoed back to it nor translated.
TEST(PtyLineSettings, ARefusedSettingAtOpeningIsReportedAndLeavesThePortBinary) {
  PtyPair pty;
  ASSERT_TRUE(pty.Termios().lflag & ICANON) << "a pty starts cooked";
  OpenPort p;
  p.port->SetStopBits(1);  // one and a half stop bits: termios has none
  p.Open(pty);
  ASSERT_TRUE(p.port->Active());
  EXPECT_TRUE(p.log.Has(802, "Error setting CommState, 87 indicate that Parms are incorrect"));
  const PtyTermios seen = pty.Termios();
  EXPECT_EQ(seen.lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
  EXPECT_EQ(seen.oflag & OPOST, 0u);
  EXPECT_EQ(seen.iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON), 0u);
}

TEST(PtyLineControl, APortWithModemLinesThatRefusesABreakReportsIt) {
  PtyPair pty;
  devsim::AdapterLines adapter;
  adapter.refused = TIOCSBRK;
  adapter.refusedErrno = EINVAL;
  OpenPort p(adapter.Requests());
  p.Open(pty);
  p.log.reports.clear();
  p.port->SetBREAKState(true);
  EXPECT_THAT(p.log.reports, ElementsAre(Report{701, uint32_t(EINVAL), 0, "Error setting BREAK State"}));
}

TEST(PtyEventCharacter, TheEventCharacterIsAnnouncedWhenItArrivesNotWhenItIsRead) {
  PtyPair pty;
  OpenPort p;
  int received = 0, eventChars = 0;
  std::vector<std::string> clusters;
  p.port->OnRxCharEvent = [&](TSerialPort*) { ++received; };
  p.port->OnRxEventCharEvent = [&](TSerialPort*) { ++eventChars; };
  p.port->OnRxClusterEvent = [&](TSerialPort* port) { clusters.push_back(port->ReadClusterText()); };
  p.port->SetEventChar('\r');
  // No cluster comes due by the time rule within the test: the bytes stay unread.
  p.port->SetRTOExtraDelayTime(60000);
  p.Open(pty);
  ASSERT_TRUE(ProcessUntil([&] { return p.port->WorkerBusy(); }, kFaultMs));
  ASSERT_TRUE(pty.Send("12"));
  ASSERT_TRUE(ProcessUntil([&] { return received == 1; }, kFaultMs));
  EXPECT_EQ(eventChars, 0);
  ASSERT_TRUE(pty.Send("3\r"));
  ASSERT_TRUE(ProcessUntil([&] { return eventChars == 1; }, kFaultMs));
  EXPECT_TRUE(clusters.empty());
  p.port->SetReadRequest(true);
  ASSERT_TRUE(ProcessUntil([&] { return !clusters.empty(); }, kFaultMs));
  EXPECT_THAT(clusters, ElementsAre("123\r"));
}

}  // namespace

// The component's property rules, opening and closing sequence and every report
// of its own, against the fake backend.
#include <gmock/gmock.h>

#include "serial/serialport.h"
#include "tests/serial/fakebackend.h"
#include "tests/serial/reportlog.h"
#include "tests/support/eventwait.h"

using ::testing::ElementsAre;

namespace {

constexpr int kEnoent = 2, kEbadf = 9, kEio = 5, kEbusy = 16;

struct Component {
  std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
  ReportLog log;
  std::unique_ptr<TSerialPort> port;
  Component() { port = std::make_unique<TSerialPort>(std::make_unique<FakeBackend>(state), log.Handler()); }
  void Open(const std::string& name = "ttyACM0") {
    port->SetCommPort(name);
    port->SetActive(true);
  }
};

TEST(SerialPortProperties, StartWithTheirInitialValues) {
  Component c;
  TSerialPort& p = *c.port;
  EXPECT_FALSE(p.Active());
  EXPECT_EQ(p.ComHandle(), 0xFFFFFFFFu);
  EXPECT_EQ(p.CommPort(), "COM2");
  EXPECT_EQ(p.BaudRate(), 9600u);
  EXPECT_EQ(p.DataBits(), 8);
  EXPECT_EQ(p.XONChar(), 17);
  EXPECT_EQ(p.XOFFChar(), 19);
  EXPECT_EQ(p.XONLimDiv(), 33);
  EXPECT_EQ(p.RTOCharDelayTime(), 1100u);
  EXPECT_EQ(p.RTOExtraDelayTime(), 250);
  EXPECT_EQ(p.ClusterSize(), 3072);
  EXPECT_EQ(p.RxQueueSize(), 4096);
  EXPECT_TRUE(p.XTOAuto());
  EXPECT_TRUE(p.RTSState());
  EXPECT_TRUE(p.DTRState());
  EXPECT_FALSE(p.BREAKState());
  EXPECT_EQ(p.ErrorNoise(), 255);
  EXPECT_EQ(p.PlatformFamily(), 2);
  EXPECT_TRUE(c.log.reports.empty());
}

TEST(SerialPortProperties, AutoTimingFollowsTheBaudTable) {
  Component c;
  c.port->SetBaudRate(38400);
  EXPECT_EQ(c.port->RTOCharDelayTime(), 290u);
  EXPECT_EQ(c.port->WTOCharDelayTime(), 290u);
  c.port->SetBaudRate(100);
  EXPECT_EQ(c.port->RTOCharDelayTime(), 1100u);
  c.port->SetBaudRate(300000);
  EXPECT_EQ(c.port->WTOCharDelayTime(), 43u);
  c.port->SetXTOAuto(false);
  c.port->SetBaudRate(9600);
  EXPECT_EQ(c.port->RTOCharDelayTime(), 43u) << "turning auto timing off keeps the delays";
}

TEST(SerialPortProperties, XonXoffLimitsAboveHundredAreWarnedAndClamped) {
  Component c;
  c.port->SetXONLimDiv(150);
  c.port->SetXOFFLimDiv(101);
  c.port->SetXONLimDiv(100);
  EXPECT_EQ(c.port->XONLimDiv(), 100);
  EXPECT_EQ(c.port->XOFFLimDiv(), 100);
  EXPECT_THAT(c.log.reports, ElementsAre(Report{100, 150, 1, "Warning XOnLimDef set to 100"},
                                         Report{100, 101, 1, "Warning XOffLimDef set to 100"}));
}

TEST(SerialPortProperties, QueueSizesAreSetUpAtOnceEvenWhileClosed) {
  Component c;
  c.port->SetRxQueueSize(1024);
  c.port->SetTxQueueSize(2048);
  EXPECT_EQ(c.port->RxQueueSize(), 1024);
  EXPECT_THAT(c.log.reports, ElementsAre(Report{101, kEbadf, 0, "Error can not set Quesize"},
                                         Report{102, kEbadf, 0, "Error can not set Quesize"}));
  c.Open();
  EXPECT_EQ(c.state->lineSettings.XonLim, 1024 * 33 / 100) << "the new size is used at the next opening";
}

TEST(SerialPortProperties, LineControlIsIgnoredWhileClosed) {
  Component c;
  c.port->SetRTSState(false);
  c.port->SetBREAKState(true);
  EXPECT_TRUE(c.port->RTSState());
  EXPECT_FALSE(c.port->BREAKState());
  EXPECT_EQ(c.state->CountCalls("ClearRts"), 0u);
  c.Open();
  EXPECT_EQ(c.state->CountCalls("SetRts"), 1u);
  EXPECT_EQ(c.state->CountCalls("SetDtr"), 1u);
}

TEST(SerialPortProperties, LineControlFailuresAreReportedAndTheValueKept) {
  Component c;
  c.Open();
  c.log.reports.clear();
  for (const char* op : {"SetRts", "ClearRts", "SetDtr", "ClearDtr", "SetBreak", "ClearBreak"}) c.state->Fail(op, kEio);
  c.port->SetRTSState(false);
  c.port->SetRTSState(true);
  c.port->SetDTRState(false);
  c.port->SetDTRState(true);
  c.port->SetBREAKState(true);
  c.port->SetBREAKState(false);
  c.port->SetBREAKState(true);
  EXPECT_TRUE(c.port->BREAKState());
  EXPECT_THAT(c.log.reports,
              ElementsAre(Report{502, kEio, 0, "Error clearing RTS"}, Report{501, kEio, 0, "Error setting RTS"},
                          Report{602, kEio, 0, "Error clearing DTR"}, Report{601, kEio, 0, "Error setting DTR"},
                          Report{701, kEio, 0, "Error setting BREAK State"},
                          Report{702, kEio, 0, "Error clearing BREAK State"},
                          Report{701, kEio, 0, "Error setting BREAK State"}));
}

TEST(SerialPortOpening, AppliesTheLineSettingsAndRaisesTheLines) {
  Component c;
  c.port->SetBaudRate(38400);
  c.port->SetParityType(2);
  c.port->SetFlowControl(dcbflags::kOutX);
  c.port->SetStripNullChars(true);
  c.Open("/dev/ttyUSB0");
  EXPECT_TRUE(c.port->Active());
  EXPECT_EQ(c.port->ComHandle(), 7u);
  EXPECT_THAT(c.log.reports, ElementsAre(Report{110, 0, 2, "Msg start reactivating Port"}));
  const LineSettings& dcb = c.state->lineSettings;
  EXPECT_EQ(dcb.BaudRate, 38400u);
  EXPECT_EQ(dcb.Flags, 0x1u | 0x2u | 0x100u | 0x800u);
  EXPECT_EQ(dcb.Parity, 2);
  EXPECT_EQ(dcb.XonLim, 1351);
  EXPECT_EQ(dcb.XoffLim, 1351);
  EXPECT_EQ(c.state->timeouts.ReadInterval, 0xFFFFFFFFu);
  EXPECT_EQ(c.state->timeouts.WriteTotalConstant, 0u);
  EXPECT_EQ(c.state->eventMask, 0x1FFu);
  EXPECT_EQ(c.state->calls.front(), "Open:/dev/ttyUSB0");
}

TEST(SerialPortOpening, AMissingPortIsReportedAndStaysClosed) {
  Component c;
  c.state->Fail("Open", kEnoent);
  c.Open("/dev/ttyUSB9");
  EXPECT_FALSE(c.port->Active());
  EXPECT_EQ(c.port->ComHandle(), 0xFFFFFFFFu);
  EXPECT_THAT(c.log.reports, ElementsAre(Report{110, 0, 2, "Msg start reactivating Port"},
                                         Report{112, kEnoent, 0, "Error reopening Port"}));
}

TEST(SerialPortOpening, EachFailingStepIsReportedAndTheRestGoesOn) {
  struct Case {
    const char* op;
    Report report;
  };
  const Case cases[] = {
      {"SetupQueues", {111, kEio, 0, "Error setup Queuesize"}},
      {"GetLineSettings", {801, kEio, 0, "Error getting DCB from CommState"}},
      {"SetTimeouts", {802, kEio, 0, "Error setting CommTimeout"}},
      {"SetLineSettings", {802, kEio, 0, "Error setting CommState, 87 indicate that Parms are incorrect"}},
      {"SetDtr", {601, kEio, 0, "Error setting DTR"}},
      {"SetRts", {501, kEio, 0, "Error setting RTS"}},
      {"SetEventMask", {201, kEio, 0, "Error activating CommEventMask"}},
  };
  for (const Case& k : cases) {
    Component c;
    c.state->Fail(k.op, kEio);
    c.Open();
    EXPECT_TRUE(c.port->Active()) << k.op;
    EXPECT_THAT(c.log.reports, ElementsAre(Report{110, 0, 2, "Msg start reactivating Port"}, k.report)) << k.op;
  }
}

TEST(SerialPortOpening, RepeatedActivationAndUnchangedNamesDoNothing) {
  Component c;
  c.port->SetCommPort("COM2");
  c.Open();
  c.log.reports.clear();
  c.port->SetActive(true);
  c.port->SetCommPort("ttyACM0");
  EXPECT_TRUE(c.log.reports.empty());
  EXPECT_EQ(c.state->CountCalls("Open:ttyACM0"), 1u);
}

TEST(SerialPortOpening, ANewNameWhileClosedIsOnlyStored) {
  Component c;
  c.port->SetCommPort("/dev/ttyUSB3");
  EXPECT_EQ(c.port->CommPort(), "/dev/ttyUSB3");
  EXPECT_TRUE(c.state->calls.empty());
}

TEST(SerialPortOpening, ANewNameWhileOpenReopensAndMayEndClosed) {
  Component c;
  c.Open("/dev/ttyUSB0");
  c.log.reports.clear();
  c.state->Fail("Open", kEbusy);
  c.port->SetCommPort("/dev/ttyUSB1");
  EXPECT_FALSE(c.port->Active());
  EXPECT_THAT(c.log.reports, ElementsAre(Report{100, 0, 2, "Msg start deactivating Port"},
                                         Report{110, 0, 2, "Msg start reactivating Port"},
                                         Report{112, kEbusy, 0, "Error reopening Port"}));
}

TEST(SerialPortOpening, OnlyTheFirst79CharactersOfTheNameAreOpened) {
  Component c;
  const std::string name = "/dev/" + std::string(100, 'x');
  c.Open(name);
  EXPECT_EQ(c.state->calls.front(), "Open:" + name.substr(0, 79));
  EXPECT_EQ(c.port->CommPort(), name);
}

TEST(SerialPortClosing, LowersTheLinesAndForgetsTheHandle) {
  Component c;
  c.Open();
  c.log.reports.clear();
  c.port->SetActive(false);
  EXPECT_FALSE(c.port->Active());
  EXPECT_FALSE(c.port->DTRState());
  EXPECT_FALSE(c.port->RTSState());
  EXPECT_EQ(c.port->ComHandle(), 0xFFFFFFFFu);
  EXPECT_THAT(c.log.reports, ElementsAre(Report{100, 0, 2, "Msg start deactivating Port"}))
      << "the worker winds down in time: no ThreadIsRunning warning";
}

TEST(SerialPortClosing, EachFailingStepIsReportedAndTheHandleStillForgotten) {
  Component c;
  c.Open();
  c.log.reports.clear();
  for (const char* op : {"SetEventMask", "Purge", "ClearDtr", "ClearRts", "Close"}) c.state->Fail(op, kEio);
  c.port->SetActive(false);
  EXPECT_EQ(c.port->ComHandle(), 0xFFFFFFFFu);
  EXPECT_THAT(c.log.reports,
              ElementsAre(Report{100, 0, 2, "Msg start deactivating Port"},
                          Report{101, kEio, 0, "Error disabling CommEvents"},
                          Report{102, kEio, 0, "Error clearing Queues"}, Report{602, kEio, 0, "Error clearing DTR"},
                          Report{502, kEio, 0, "Error clearing RTS"}, Report{103, kEio, 0, "Error closing Port"}));
}

TEST(SerialPortSending, SendsTheBytesUnchangedWithATimeOutForTheirLength) {
  Component c;
  c.port->SetBaudRate(38400);
  c.Open();
  int writeDone = 0;
  c.port->OnWriteDone = [&](TSerialPort*) { ++writeDone; };
  c.port->SendText(std::string("F\0", 2));
  c.port->SendText("");
  EXPECT_THAT(c.state->Written(), ElementsAre(std::string("F\0", 2)));
  EXPECT_EQ(c.state->timeouts.WriteTotalConstant, 2 * 290 / 1000 + 250u);
  EXPECT_EQ(c.port->WrittenBytes(), 2u);
  EXPECT_EQ(writeDone, 1) << "a write done at once is announced by the sender";
}

TEST(SerialPortSending, ASendWhileTheWriteIsOutstandingIsDropped) {
  Component c;
  c.Open();
  c.state->holdWrites = true;
  c.log.reports.clear();
  c.port->SendText("E");
  c.port->SendText("{");
  EXPECT_TRUE(c.port->SendInProgress());
  EXPECT_THAT(c.state->Written(), ElementsAre("E"));
  EXPECT_THAT(c.log.reports, ElementsAre(Report{901, 0, 2, "Msg, dont enter SendData while SendInProgress is set"}));
}

TEST(SerialPortSending, OnAClosedPortTheFailuresAreReported) {
  Component c;
  c.state->Fail("ResetEvent", kEio);
  c.port->SendText("*");
  EXPECT_FALSE(c.port->SendInProgress());
  EXPECT_THAT(c.log.reports, ElementsAre(Report{902, kEbadf, 0, "Error setting CommTimeout"},
                                         Report{903, kEbadf, 0, "Error writing Data"},
                                         Report{1101, kEio, 0, "Error resetting Overlapped Event"}));
}

TEST(SerialPortReports, TheNoiseFilterPassesUpToErrorNoise) {
  auto reportsWith = [](uint8_t noise) {
    Component c;
    c.port->SetErrorNoise(noise);
    c.state->Fail("Open", kEnoent);
    c.port->SetXONLimDiv(200);  // warning
    c.Open();                   // message, then error
    std::vector<uint32_t> places;
    for (const Report& r : c.log.reports) places.push_back(r.place);
    return places;
  };
  EXPECT_THAT(reportsWith(0), ElementsAre(112));
  EXPECT_THAT(reportsWith(1), ElementsAre(100, 112));
  EXPECT_THAT(reportsWith(2), ElementsAre(100, 110, 112));
  EXPECT_THAT(reportsWith(255), ElementsAre(100, 110, 112));
}

TEST(SerialPortReports, ConstructionFailuresOfTheOperationEvents) {
  {
    auto state = std::make_shared<FakeState>();
    state->failures["CreateEvent"] = 24;
    ReportLog log;
    TSerialPort port(std::make_unique<FakeBackend>(state), log.Handler());
    EXPECT_THAT(log.reports, ElementsAre(Report{1001, 24, 0, "Error Creating Overlapped Event"},
                                         Report{1001, 24, 0, "Error Creating Overlapped Event"},
                                         Report{1001, 24, 0, "Error Creating Overlapped Event"}));
  }
  {
    auto state = std::make_shared<FakeState>();
    state->eventExists = true;
    ReportLog log;
    TSerialPort port(std::make_unique<FakeBackend>(state), log.Handler());
    ASSERT_EQ(log.reports.size(), 3u);
    EXPECT_EQ(log.reports[0], (Report{1002, 183, 0, "Error Overlapped Event Exists"}));
  }
}

TEST(SerialPortReports, NothingIsReportedDuringDestruction) {
  auto state = std::make_shared<FakeState>();
  ReportLog log;
  {
    TSerialPort port(std::make_unique<FakeBackend>(state), log.Handler());
    port.SetCommPort("ttyACM0");
    port.SetActive(true);
    log.reports.clear();
  }
  EXPECT_TRUE(log.reports.empty());
  EXPECT_EQ(state->CountCalls("Close"), 1u) << "destruction closes the port";
}

TEST(SerialPortClusters, ReadClusterTextOnAnEmptyQueueIsEmpty) {
  Component c;
  EXPECT_EQ(c.port->ReadClusterText(), "");
}

}  // namespace

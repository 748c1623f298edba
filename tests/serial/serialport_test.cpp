// The component's property rules, opening and closing sequence and every report
// of its own, against the fake backend.
#include "serial/serialport.h"

#include <gmock/gmock.h>

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
  EXPECT_EQ(p.ParityType(), 0);
  EXPECT_EQ(p.ParityErrorChar(), 0);
  EXPECT_FALSE(p.ParityErrorReplacement());
  EXPECT_EQ(p.StopBits(), 0);
  EXPECT_EQ(p.XOFFLimDiv(), 33);
  EXPECT_EQ(p.FlowControl(), 0);
  EXPECT_FALSE(p.StripNullChars());
  EXPECT_EQ(p.EventChar(), 0);
  EXPECT_EQ(p.TxQueueSize(), 4096);
  EXPECT_EQ(p.WTOCharDelayTime(), 1100u);
  EXPECT_EQ(p.WTOExtraDelayTime(), 250);
  EXPECT_FALSE(p.CTSState() || p.DSRState() || p.RLSDState() || p.RingState());
  EXPECT_FALSE(p.ReadRequest() || p.SendInProgress() || p.ThreadQuietMode() || p.AutoReadRequest());
  EXPECT_EQ(p.CommError() | p.CommStateFlags() | p.CommStateInQueue() | p.CommStateOutQueue() |
                p.ModemState() | p.CommEvent() | p.WrittenBytes(),
            0u);
  EXPECT_TRUE(c.log.reports.empty());
}

TEST(SerialPortProperties, AutoTimingTakesTheRowOfTheHighestRateNotAboveTheBaudRate) {
  Component c;
  const std::pair<uint32_t, uint32_t> table[] = {{110, 100000}, {300, 37000}, {600, 18000}, {1200, 9000},
                                                 {2400, 4500},  {4800, 2300}, {9600, 1100}, {14400, 760},
                                                 {19200, 570},  {38400, 290}, {56000, 200}, {57600, 190},
                                                 {115200, 95},  {128000, 85}, {256000, 43}};
  uint32_t below = 1100;  // the delay below 110 baud
  for (auto [rate, delay] : table) {
    c.port->SetBaudRate(rate - 1);
    EXPECT_EQ(c.port->RTOCharDelayTime(), below) << rate - 1;
    c.port->SetBaudRate(rate);
    EXPECT_EQ(c.port->RTOCharDelayTime(), delay) << rate;
    EXPECT_EQ(c.port->WTOCharDelayTime(), delay) << rate;
    below = delay;
  }
  c.port->SetXTOAuto(false);
  c.port->SetBaudRate(9600);
  EXPECT_EQ(c.port->RTOCharDelayTime(), 43u) << "turning auto timing off keeps the delays";
  c.port->SetXTOAuto(true);
  EXPECT_EQ(c.port->RTOCharDelayTime(), 1100u) << "turning it on applies the table again";
  EXPECT_EQ(c.port->WTOCharDelayTime(), 1100u);
}

TEST(SerialPortProperties, ChangedLineSettingsReachAnOpenPortAtOnce) {
  Component c;
  c.Open();
  TSerialPort& p = *c.port;
  const LineSettings& dcb = c.state->lineSettings;  // only this thread sets it
  p.SetBaudRate(57600);
  EXPECT_EQ(dcb.BaudRate, 57600u);
  p.SetParityType(3);
  EXPECT_EQ(dcb.Parity, 3);
  EXPECT_EQ(dcb.Flags, dcbflags::kBinary | dcbflags::kParity);
  p.SetParityErrorChar('?');
  EXPECT_EQ(dcb.ErrorChar, '?');
  p.SetParityErrorReplacement(true);
  EXPECT_EQ(dcb.Flags, dcbflags::kBinary | dcbflags::kParity | dcbflags::kErrorChar);
  p.SetStopBits(2);
  EXPECT_EQ(dcb.StopBits, 2);
  p.SetDataBits(7);
  EXPECT_EQ(dcb.ByteSize, 7);
  p.SetXONChar('a');
  EXPECT_EQ(dcb.XonChar, 'a');
  p.SetXOFFChar('b');
  EXPECT_EQ(dcb.XoffChar, 'b');
  p.SetXONLimDiv(10);
  EXPECT_EQ(dcb.XonLim, 409);
  p.SetXOFFLimDiv(90);
  EXPECT_EQ(dcb.XoffLim, 3686);
  p.SetParityType(0);
  p.SetParityErrorReplacement(false);
  p.SetFlowControl(dcbflags::kOutxCtsFlow);
  EXPECT_EQ(dcb.Flags, dcbflags::kBinary | dcbflags::kOutxCtsFlow);
  p.SetStripNullChars(true);
  EXPECT_EQ(dcb.Flags, dcbflags::kBinary | dcbflags::kOutxCtsFlow | dcbflags::kNull);
  p.SetEventChar('\n');
  EXPECT_EQ(dcb.EvtChar, '\n');
  // The write delays do not show in the settings; they are applied all the same.
  auto applied = [&] { return c.state->CountCalls("SetLineSettings"); };
  const size_t before = applied();
  p.SetWTOExtraDelayTime(100);
  p.SetWTOExtraDelayTime(100);
  EXPECT_EQ(applied(), before + 1) << "a write of an unchanged value does nothing";
  p.SetXTOAuto(false);
  p.SetBaudRate(38400);
  EXPECT_EQ(applied(), before + 2);
  p.SetXTOAuto(true);
  EXPECT_EQ(applied(), before + 3) << "the write delay changed from 190 to 290";
}

TEST(SerialPortProperties, XonXoffLimitsAboveHundredAreWarnedAndClamped) {
  Component c;
  // Exactly 100 is a valid limit, taken without a word.
  c.port->SetXONLimDiv(100);
  c.port->SetXOFFLimDiv(100);
  EXPECT_EQ(c.port->XONLimDiv(), 100);
  EXPECT_EQ(c.port->XOFFLimDiv(), 100);
  EXPECT_THAT(c.log.reports, ::testing::IsEmpty());
  c.port->SetXONLimDiv(33);
  c.port->SetXOFFLimDiv(33);
  c.port->SetXONLimDiv(150);
  c.port->SetXOFFLimDiv(101);
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
  c.port->SetRTSState(true);
  c.port->SetDTRState(true);
  c.port->SetBREAKState(false);
  EXPECT_EQ(c.state->CountCalls("SetRts"), 2u) << "while open the lines are driven also when unchanged";
  EXPECT_EQ(c.state->CountCalls("SetDtr"), 2u);
  EXPECT_EQ(c.state->CountCalls("ClearBreak"), 1u);
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
  // What a previous user of the port left must not survive.
  c.state->lineSettings.Flags = dcbflags::kAbortOnError;
  c.state->lineSettings.EofChar = 26;
  c.state->timeouts = PortTimeouts{1, 2, 3, 4, 5};
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
  EXPECT_EQ(dcb.EofChar, 0);
  const PortTimeouts& t = c.state->timeouts;
  EXPECT_EQ(std::tie(t.ReadInterval, t.ReadTotalMultiplier, t.ReadTotalConstant, t.WriteTotalMultiplier,
                     t.WriteTotalConstant),
            std::make_tuple(0xFFFFFFFFu, 0u, 0u, 0u, 0u));
  EXPECT_EQ(c.state->eventMask, 0x1FFu);
  const std::vector<std::string> calls = c.state->Calls();
  EXPECT_EQ(calls.front(), "Open:/dev/ttyUSB0");
  EXPECT_LT(std::find(calls.begin(), calls.end(), "SetDtr"), std::find(calls.begin(), calls.end(), "SetRts"))
      << "DTR first";
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
    EXPECT_THAT(c.log.reports, ElementsAre(Report{110, 0, 2, "Msg start reactivating Port"}, k.report))
        << k.op;
    if (k.report.place == 801) {
      EXPECT_EQ(c.state->CountCalls("SetLineSettings"), 0u) << "stops there";
    }
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
  EXPECT_TRUE(c.state->Calls().empty());
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
  const std::string name = "/dev/" + std::string(300, 'x');
  c.Open(name);
  EXPECT_EQ(c.state->Calls().front(), "Open:" + name.substr(0, 79));
  EXPECT_EQ(c.port->CommPort(), name.substr(0, 255)) << "the name keeps at most 255 characters";
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
  const std::string command("F\0 12:34", 8);
  c.port->SendText(command);
  c.port->SendText("");
  EXPECT_THAT(c.state->Written(), ElementsAre(command));
  EXPECT_EQ(c.state->timeouts.WriteTotalConstant, 252u) << "250 ms and 8 x 290 us, whole milliseconds";
  EXPECT_EQ(c.port->WrittenBytes(), 8u);
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

// The worker's status checks, clusters, write completion, event dispatch and
// reports, against the fake backend with the real thread and Qt deliveries.
#include <gmock/gmock.h>

#include "serial/serialport.h"
#include "tests/serial/fakebackend.h"
#include "tests/serial/reportlog.h"
#include "tests/support/eventwait.h"

using ::testing::ElementsAre;

namespace {

constexpr uint32_t kEio = 5;

struct Worker {
  std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
  ReportLog log;
  std::unique_ptr<TSerialPort> port;
  std::vector<std::string> events;  // handler names in the order they ran
  std::vector<std::string> clusters;
  bool takeClusters = true;

  explicit Worker(int32_t platformFamily = 2) {
    state->platformFamily = platformFamily;
    port = std::make_unique<TSerialPort>(std::make_unique<FakeBackend>(state), log.Handler());
    port->OnRxClusterEvent = [this](TSerialPort* p) {
      events.push_back("RxCluster");
      if (takeClusters) clusters.push_back(p->ReadClusterText());
    };
    port->SetBaudRate(38400);
  }
  // The port goes first: its destruction may still run handlers that record here.
  ~Worker() { port.reset(); }
  void Track(TNotifyEvent TSerialPort::*event, const std::string& name) {
    port.get()->*event = [this, name](TSerialPort*) { events.push_back(name); };
  }
  void Open() {
    port->SetCommPort("ttyACM0");
    port->SetActive(true);
    // The idle worker notices the opening within 200 to 400 ms.
    ASSERT_TRUE(ProcessUntil([&] { return state->CountCalls("WaitCommEvent") > 0; }, kFaultMs));
    log.reports.clear();
  }
  // Leaves a read outstanding: bytes queued, a read request, and reads held.
  void HoldARead() {
    state->holdReads = true;
    state->Receive("x");
    port->SetReadRequest(true);
    ASSERT_TRUE(ProcessUntil([&] { return state->CountCalls("Read") > 0; }, kFaultMs));
  }
  void FailWaits() {
    std::lock_guard lock(state->mutex);
    state->waitResultOverride = 0xFFFFFFFF;
  }
  bool WaitForReport(uint32_t place, const std::string& msg, int ms = kFaultMs) {
    return ProcessUntil([&] { return log.Has(place, msg); }, ms);
  }
};

TEST(WorkerClusters, AnAnswerBecomesOneClusterOnceTheTimeRulePasses) {
  Worker w;
  w.Open();
  QElapsedTimer since;
  since.start();
  // The time rule counts from the worker's last look at an empty queue. Two
  // status checks begun after `since` mean the first has been acted on: the
  // empty queue was last seen no earlier than `since`.
  const size_t looks = w.state->CountCalls("ClearCommError");
  ASSERT_TRUE(ProcessUntil([&] { return w.state->CountCalls("ClearCommError") >= looks + 2; }, kFaultMs));
  w.state->Receive(" 512\r\n");
  w.state->FireEvents(0x001);
  ASSERT_TRUE(ProcessUntil([&] { return !w.clusters.empty(); }, kFaultMs));
  EXPECT_GE(since.elapsed(), 250) << "6 bytes are due 251.74 ms after the queue was last empty";
  EXPECT_THAT(w.clusters, ElementsAre(" 512\r\n"));
}

TEST(WorkerClusters, AReadRequestOnAnEmptyQueueStaysSetAndSkipsTheTimeRule) {
  Worker w;
  w.Open();
  // The time rule alone would hold the bytes for 5 s: what comes sooner skipped it.
  w.port->SetRTOExtraDelayTime(5000);
  w.port->SetReadRequest(true);
  ProcessFor(200);
  EXPECT_TRUE(w.port->ReadRequest());
  w.state->Receive("+\r\n");
  ASSERT_TRUE(ProcessUntil([&] { return !w.clusters.empty(); }, kFaultMs));
  EXPECT_FALSE(w.port->ReadRequest());
}

TEST(WorkerClusters, AFullClusterSizeIsReadAtOnceAsOneCluster) {
  Worker w;
  w.port->SetClusterSize(16);
  // The time rule alone would hold the bytes for 5 s: what comes sooner was read at once.
  w.port->SetRTOExtraDelayTime(5000);
  w.Open();
  w.state->Receive(std::string(40, 'x'));
  ASSERT_TRUE(ProcessUntil([&] { return !w.clusters.empty(); }, kFaultMs));
  EXPECT_THAT(w.clusters, ElementsAre(std::string(40, 'x')));
}

TEST(WorkerClusters, ALineErrorMakesTheClusterDueAndIsSeenTwiceAsAStatusChange) {
  Worker w;
  w.Track(&TSerialPort::OnCommStat, "CommStat");
  w.Open();
  w.events.clear();
  w.state->lineErrors = 0x08;
  w.state->Receive("x");
  ASSERT_TRUE(ProcessUntil([&] { return !w.clusters.empty(); }, kFaultMs));
  // error word set (with the byte queued), error word cleared, byte read
  const auto stats = std::count(w.events.begin(), w.events.end(), "CommStat");
  EXPECT_GE(stats, 2);
  EXPECT_EQ(w.port->CommError(), 0u);
}

TEST(WorkerClusters, QuietModeQueuesWithoutNotifying) {
  Worker w;
  w.Open();
  w.port->SetThreadQuietMode(true);
  w.state->Receive("+\r\n");
  w.port->SetReadRequest(true);
  // The cluster is queued a moment after the read: wait for it in the queue itself.
  std::string queued;
  ASSERT_TRUE(ProcessUntil([&] { return !(queued = w.port->ReadClusterText()).empty(); }, kFaultMs));
  EXPECT_EQ(queued, "+\r\n");
  ProcessFor(100);
  EXPECT_TRUE(w.events.empty());
}

TEST(WorkerClusters, AnEmptyReadStillQueuesAnEmptyCluster) {
  Worker w;
  w.Open();
  w.takeClusters = false;
  w.state->holdReads = true;
  w.state->Receive("abc");
  w.port->SetReadRequest(true);
  ASSERT_TRUE(ProcessUntil([&] { return w.state->CountCalls("Read") > 0; }, kFaultMs));
  {
    std::lock_guard lock(w.state->mutex);
    w.state->rx.clear();  // the read finds nothing after all
  }
  w.state->CompleteRead(0);
  ASSERT_TRUE(ProcessUntil([&] { return !w.events.empty(); }, kFaultMs));
  EXPECT_EQ(w.events.front(), "RxCluster");
  EXPECT_EQ(w.port->ReadClusterText(), "");
}

TEST(WorkerEvents, DispatchesInTheirOrderAndCommEventLast) {
  Worker w;
  for (auto [event, name] : {std::pair{&TSerialPort::OnBreakEvent, "Break"}, {&TSerialPort::OnCTSEvent, "CTS"},
                             {&TSerialPort::OnDSREvent, "DSR"}, {&TSerialPort::OnLineErrorEvent, "LineError"},
                             {&TSerialPort::OnRingEvent, "Ring"}, {&TSerialPort::OnRLSDEvent, "RLSD"},
                             {&TSerialPort::OnRxCharEvent, "RxChar"}, {&TSerialPort::OnRxEventCharEvent, "RxFlag"},
                             {&TSerialPort::OnTxQueueEmptyEvent, "TxEmpty"}, {&TSerialPort::OnCommEvent, "Comm"}})
    w.Track(event, name);
  w.Open();
  w.events.clear();
  w.state->FireEvents(0x1FF);
  ASSERT_TRUE(ProcessUntil([&] { return w.events.size() >= 10; }, kFaultMs));
  EXPECT_THAT(w.events, ElementsAre("Break", "CTS", "DSR", "LineError", "Ring", "RLSD", "RxChar", "RxFlag",
                                    "TxEmpty", "Comm"));
  EXPECT_EQ(w.port->CommEvent(), 0x1FFu);
}

TEST(WorkerEvents, ModemLinesAreMirroredInTheStateProperties) {
  Worker w;
  w.Open();
  {
    std::lock_guard lock(w.state->mutex);
    w.state->modem = 0x10 | 0x80;
  }
  ASSERT_TRUE(ProcessUntil([&] { return w.port->CTSState(); }, kFaultMs));
  EXPECT_TRUE(w.port->RLSDState());
  EXPECT_FALSE(w.port->DSRState());
  EXPECT_EQ(w.port->ModemState(), 0x90u);
}

TEST(WorkerEvents, RingEmulationOnTheOldPlatformFamily) {
  Worker w(1);
  for (auto [event, name] : {std::pair{&TSerialPort::OnRIEvent, "RI"}, {&TSerialPort::OnRingEvent, "Ring"},
                             {&TSerialPort::OnCommEvent, "Comm"}})
    w.Track(event, name);
  w.Open();
  {
    std::lock_guard lock(w.state->mutex);
    w.state->modem = 0x40;
  }
  ASSERT_TRUE(ProcessUntil([&] { return w.events.size() >= 1; }, kFaultMs));
  EXPECT_THAT(w.events, ElementsAre("RI")) << "ring indicator on";
  {
    std::lock_guard lock(w.state->mutex);
    w.state->modem = 0;
  }
  ASSERT_TRUE(ProcessUntil([&] { return w.events.size() >= 4; }, kFaultMs));
  EXPECT_THAT(w.events, ElementsAre("RI", "RI", "Ring", "Comm"));
  EXPECT_EQ(w.port->CommEvent(), 0x100u);
  EXPECT_FALSE(w.port->RingState());
}

TEST(WorkerEvents, NoRingEmulationElsewhere) {
  Worker w(2);
  w.Track(&TSerialPort::OnRIEvent, "RI");
  w.Track(&TSerialPort::OnRingEvent, "Ring");
  w.Open();
  for (uint32_t modem : {0x40u, 0u}) {
    const size_t before = w.events.size();
    {
      std::lock_guard lock(w.state->mutex);
      w.state->modem = modem;
    }
    ASSERT_TRUE(ProcessUntil([&] { return w.events.size() > before; }, kFaultMs));
  }
  ProcessFor(300);  // an emulated ring would follow the second RI within the same pass
  EXPECT_THAT(w.events, ElementsAre("RI", "RI"));
}

TEST(WorkerWrites, AWriteFinishedLaterIsCollectedAndAnnounced) {
  Worker w;
  w.Track(&TSerialPort::OnWriteDone, "WriteDone");
  w.Open();
  w.state->holdWrites = true;
  w.port->SendText("K");
  ProcessFor(150);
  EXPECT_TRUE(w.port->SendInProgress()) << "incomplete: still running";
  {
    std::lock_guard lock(w.state->mutex);
    w.state->writeResult = 0;
    w.state->writeTransferred = 1;
  }
  ASSERT_TRUE(ProcessUntil([&] { return !w.events.empty(); }, kFaultMs));
  EXPECT_FALSE(w.port->SendInProgress());
  EXPECT_THAT(w.events, ElementsAre("WriteDone"));
  EXPECT_EQ(w.port->WrittenBytes(), 1u);
  EXPECT_TRUE(w.log.reports.empty());
}

TEST(WorkerWrites, TimeOutRules) {
  {  // finished, but short: the write's total time-out ran out first
    Worker w;
    w.Open();
    w.state->holdWrites = true;
    w.port->SendText("AB");
    {
      std::lock_guard lock(w.state->mutex);
      w.state->writeResult = 0;
      w.state->writeTransferred = 1;
    }
    ASSERT_TRUE(w.WaitForReport(9701, "Error write TimeOut"));
    EXPECT_EQ(w.port->WrittenBytes(), 1u);
  }
  {  // still pending past bytes x 290 us + 250 ms
    Worker w;
    w.Open();
    w.state->holdWrites = true;
    {
      std::lock_guard lock(w.state->mutex);
      w.state->writeResult = serialcodes::kIoPending;
    }
    QElapsedTimer since;
    since.start();
    w.port->SendText("AB");
    ASSERT_TRUE(w.WaitForReport(9701, "Error write TimeOut"));
    EXPECT_GE(since.elapsed(), 250);
    EXPECT_EQ(w.log.Find(9701, "Error write TimeOut")->code, 997u);
    EXPECT_FALSE(w.port->SendInProgress());
  }
  {  // failed
    Worker w;
    w.Track(&TSerialPort::OnWriteDone, "WriteDone");
    w.Open();
    w.state->holdWrites = true;
    {
      std::lock_guard lock(w.state->mutex);
      w.state->writeResult = kEio;
    }
    w.port->SendText("A");
    ASSERT_TRUE(w.WaitForReport(9702, "Error getting Overlapped Result"));
    EXPECT_EQ(w.log.Find(9702, "Error getting Overlapped Result")->code, kEio);
    ASSERT_TRUE(ProcessUntil([&] { return !w.events.empty(); }, kFaultMs));
    EXPECT_EQ(w.events.back(), "WriteDone");
  }
}

TEST(WorkerReports, StatusFailuresAreReportedOncePerIncident) {
  Worker w;
  w.Open();
  w.state->Fail("ClearCommError", kEio);
  w.state->Fail("GetModemStatus", kEio);
  ASSERT_TRUE(ProcessUntil([&] { return w.log.reports.size() >= 2; }, kFaultMs));
  ProcessFor(300);  // the passes that follow fail alike and report nothing more
  EXPECT_THAT(w.log.reports,
              ElementsAre(Report{9905, kEio, 0, "Error getting ModemStatus"}, Report{9803, kEio, 0, "Error ClearCommError"}));
  w.state->Clear("ClearCommError");
  // Ends the incident: one status check that succeeds.
  const size_t checksBefore = w.state->CountCalls("ClearCommError");
  ASSERT_TRUE(ProcessUntil([&] { return w.state->CountCalls("ClearCommError") > checksBefore; }, kFaultMs));
  w.state->Fail("ClearCommError", kEio);
  ASSERT_TRUE(ProcessUntil([&] { return w.log.reports.size() == 3; }, kFaultMs));
  EXPECT_EQ(w.log.reports.back(), (Report{9803, kEio, 0, "Error ClearCommError"}));
}

TEST(WorkerReports, AFailedReadClearsTheReadRequest) {
  Worker w;
  w.Open();
  w.state->Fail("Read", kEio);
  w.state->Receive("x");
  w.port->SetReadRequest(true);
  ASSERT_TRUE(w.WaitForReport(9804, "Error reading Data"));
  EXPECT_EQ(w.log.Find(9804, "Error reading Data")->code, kEio);
  EXPECT_FALSE(w.port->ReadRequest());
}

TEST(WorkerReports, AnOutstandingReadThatFails) {
  Worker w;
  w.Open();
  w.HoldARead();
  w.state->CompleteRead(kEio);
  ASSERT_TRUE(w.WaitForReport(9908, "Error getting Overlappedresult"));
  EXPECT_TRUE(w.port->ReadRequest()) << "a failure of an outstanding read leaves the request";
}

TEST(WorkerReports, FailedWaitsReportTheirPlace) {
  {  // the event wait alone
    Worker w;
    w.Open();
    w.FailWaits();
    ASSERT_TRUE(w.WaitForReport(9913, "Error getting Overlappedresult"));
    EXPECT_EQ(w.log.Find(9913, "Error getting Overlappedresult")->code, 0xFFFFFFFFu);
  }
  {  // the read and the event wait
    Worker w;
    w.Open();
    w.HoldARead();
    w.FailWaits();
    ASSERT_TRUE(w.WaitForReport(9911, "Error getting Overlappedresult"));
  }
  {  // the read alone: the event wait could not be started
    Worker w;
    w.state->Fail("WaitCommEvent", 87);
    w.port->SetCommPort("ttyACM0");
    w.port->SetActive(true);
    ASSERT_TRUE(w.WaitForReport(9907, "Error calling WaitCommEvent"));
    w.HoldARead();
    w.FailWaits();
    ASSERT_TRUE(w.WaitForReport(9912, "Error getting Overlappedresult"));
  }
}

TEST(WorkerClosing, ACloseOvertakingTheStartOfAnEventWaitIsNoFailure) {
  Worker w;
  w.Open();
  {
    std::lock_guard lock(w.state->mutex);
    w.state->waitFailsAtPurge = true;
  }
  w.state->FireEvents(0x001);  // ends the outstanding wait, so the worker starts the next one
  ASSERT_TRUE(ProcessUntil(
      [&] {
        std::lock_guard lock(w.state->mutex);
        return w.state->waitingForPurge;
      },
      kFaultMs));
  w.port->SetActive(false);
  ProcessFor(200);
  EXPECT_FALSE(w.log.Has(104, "Warning ThreadIsRunning"));
  EXPECT_FALSE(w.log.Has(9907, "Error calling WaitCommEvent"));
}

TEST(WorkerClosing, AReadOutstandingAtCloseIsAbortedAndDelaysTheClose) {
  Worker w;
  w.Open();
  w.HoldARead();
  QElapsedTimer since;
  since.start();
  w.port->SetActive(false);
  EXPECT_GE(since.elapsed(), 1100) << "the report waits for the user-interface thread, which is closing";
  EXPECT_TRUE(w.log.Has(104, "Warning ThreadIsRunning"));
  ASSERT_TRUE(ProcessUntil(
      [&] {
        return w.log.Has(9907, "Error read aborted") || w.log.Has(9908, "Error getting Overlappedresult");
      },
      kFaultMs));
}

}  // namespace

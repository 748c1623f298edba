// The worker's status checks, clusters, write completion, event dispatch and
// reports, against the fake backend with the real thread and Qt deliveries.
#include <gmock/gmock.h>

#include "serial/serialport.h"
#include "tests/serial/fakebackend.h"
#include "tests/serial/reportlog.h"
#include "tests/support/eventwait.h"

using ::testing::Each;
using ::testing::ElementsAre;

namespace {

constexpr uint32_t kEio = 5;

struct Worker {
  std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
  ReportLog log;
  std::unique_ptr<TSerialPort> port;
  std::vector<std::string> events;  // handler names in the order they ran
  std::vector<std::string> clusters;
  std::vector<uint32_t> clusterErrors;  // each cluster's CommErrors
  bool takeClusters = true;

  explicit Worker(int32_t platformFamily = 2) {
    state->platformFamily = platformFamily;
    port = std::make_unique<TSerialPort>(std::make_unique<FakeBackend>(state), log.Handler());
    port->OnRxClusterEvent = [this](TSerialPort* p) {
      events.push_back("RxCluster");
      if (!takeClusters) return;
      const TSerialCluster cluster = p->TakeCluster();
      clusters.push_back(cluster.Text());
      clusterErrors.push_back(cluster.CommErrors);
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
  bool WaitForReport(uint32_t place, const std::string& msg, int ms = 2000) {
    return ProcessUntil([&] { return log.Has(place, msg); }, ms);
  }
};

TEST(WorkerClusters, AnAnswerBecomesOneClusterOnceTheTimeRulePasses) {
  Worker w;
  w.port->SetRTOCharDelayTime(100000);  // 100 ms a byte, as at 110 baud: the bytes' share decides
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
  EXPECT_GE(since.elapsed(), 850) << "6 bytes are due 6 x 100 + 250 ms after the queue was last empty";
  EXPECT_THAT(w.clusters, ElementsAre(" 512\r\n"));
}

TEST(WorkerClusters, TheWaitForTheTimeRuleNeverSpins) {
  Worker w;
  w.Open();
  const size_t zeroWaits = w.state->CountZeroWaits();
  w.state->Receive("+");  // due after 250.29 ms: the last wait before must last into the 251st
  ASSERT_TRUE(ProcessUntil([&] { return !w.clusters.empty(); }, kFaultMs));
  EXPECT_LE(w.state->CountZeroWaits() - zeroWaits, 1u) << "a wait of no time is for a cluster already due";
}

// A worker that waited its whole 75 ms slice while bytes wait for the time rule
// would deliver an answer up to a slice late. The wait that reaches the due time
// is cut to it, so a wait shorter than a slice comes before the cluster. That
// wait may happen to be exactly one slice long; for three answers in a row, all
// but never.
TEST(WorkerClusters, AWaitEndsWhenTheQueuedBytesFallDue) {
  Worker w;
  w.Open();
  int answersWithAShortWait = 0;
  for (size_t answer = 1; answer <= 3; ++answer) {
    size_t from = 0;
    {
      std::lock_guard lock(w.state->mutex);
      from = w.state->waitTimeouts.size();
    }
    w.state->Receive("150\r\n");
    ASSERT_TRUE(ProcessUntil([&] { return w.clusters.size() == answer; }, kFaultMs));
    std::lock_guard lock(w.state->mutex);
    if (std::any_of(w.state->waitTimeouts.begin() + from, w.state->waitTimeouts.end(),
                    [](uint32_t ms) { return ms < 75; }))
      ++answersWithAShortWait;
  }
  EXPECT_GE(answersWithAShortWait, 1) << "every wait lasted a whole slice";
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
  w.state->Receive(std::string(16, 'x'));
  ASSERT_TRUE(ProcessUntil([&] { return !w.clusters.empty(); }, kFaultMs));
  EXPECT_THAT(w.clusters, ElementsAre(std::string(16, 'x')));
}

// The platforms clear the line error word as they report it: one status check
// asks until two calls agree, so it sees the error set, then cleared, and what
// follows goes by the last call.
TEST(WorkerClusters, AStatusCheckAsksUntilTwoCallsAgree) {
  // Each status check starts with the modem lines: their count tells the checks apart.
  std::vector<std::pair<uint32_t, size_t>> stats;  // CommError, and the check it came from
  Worker w;                                        // goes first: its destruction may still run the handler
  w.port->OnCommStat = [&](TSerialPort* p) {
    stats.emplace_back(p->CommError(), w.state->CountCalls("GetModemStatus"));
  };
  w.port->SetRTOExtraDelayTime(60000);  // the time rule decides nothing here
  w.Open();
  w.state->LineError(0x08, 1, "x");
  ASSERT_TRUE(ProcessUntil([&] { return stats.size() >= 2; }, kFaultMs));
  EXPECT_EQ(stats[0].first, 0x08u);
  EXPECT_EQ(stats[1].first, 0u);
  EXPECT_EQ(stats[1].second, stats[0].second) << "set and cleared within one status check";
  w.port->SetReadRequest(true);
  ASSERT_TRUE(ProcessUntil([&] { return !w.clusters.empty(); }, kFaultMs));
  EXPECT_THAT(w.clusterErrors, ElementsAre(0u));
}

TEST(WorkerClusters, ALineErrorMakesTheClusterDueBeforeTheTimeRule) {
  Worker w;
  w.port->SetRTOExtraDelayTime(60000);
  w.Open();
  // A break the driver reports for three status calls: whichever of the worker's
  // checks sees it first, the one before its look at the queue ends with it set.
  w.state->LineError(0x10, 3, "x");
  ASSERT_TRUE(ProcessUntil([&] { return !w.clusters.empty(); }, kFaultMs));
  EXPECT_THAT(w.clusters, ElementsAre("x"));
  EXPECT_THAT(w.clusterErrors, ElementsAre(0x10u));
}

TEST(WorkerClusters, QuietModeQueuesOldestFirstWithoutNotifyingOrReporting) {
  Worker w;
  w.Open();
  w.port->SetThreadQuietMode(true);
  w.state->Fail("GetModemStatus", kEio);  // reported in every other mode
  for (const char* answer : {"+\r\n", "-\r\n"}) {
    const size_t queued = w.port->ClusterCount();
    w.state->Receive(answer);
    w.port->SetReadRequest(true);
    ASSERT_TRUE(ProcessUntil([&] { return w.port->ClusterCount() > queued; }, kFaultMs));
  }
  EXPECT_EQ(w.port->ReadClusterText(), "+\r\n");
  EXPECT_EQ(w.port->ReadClusterText(), "-\r\n");
  ProcessFor(100);
  EXPECT_TRUE(w.events.empty());
  EXPECT_TRUE(w.log.reports.empty());
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
  const size_t waits = w.state->CountCalls("WaitCommEvent");
  w.state->FireEvents(0x1FF);
  ASSERT_TRUE(ProcessUntil([&] { return w.events.size() >= 10; }, kFaultMs));
  EXPECT_THAT(w.events, ElementsAre("Break", "CTS", "DSR", "LineError", "Ring", "RLSD", "RxChar", "RxFlag",
                                    "TxEmpty", "Comm"));
  EXPECT_EQ(w.port->CommEvent(), 0x1FFu);
  // A wait that ends with no event dispatches nothing; one that completes at once
  // dispatches as well.
  ASSERT_TRUE(ProcessUntil([&] { return w.state->CountCalls("WaitCommEvent") > waits; }, kFaultMs));
  w.events.clear();
  {
    std::lock_guard lock(w.state->mutex);
    w.state->commWaitAtOnce = true;
    w.state->pendingMask = 0x008 | 0x004;
  }
  w.state->FireEvents(0);
  ASSERT_TRUE(ProcessUntil([&] { return w.events.size() >= 3; }, kFaultMs));
  EXPECT_THAT(w.events, ElementsAre("CTS", "TxEmpty", "Comm"));
}

TEST(WorkerEvents, ModemLinesAreMirroredInTheStateProperties) {
  Worker w;
  w.Open();
  {
    std::lock_guard lock(w.state->mutex);
    w.state->modem = 0x10 | 0x20 | 0x80;
  }
  ASSERT_TRUE(ProcessUntil([&] { return w.port->CTSState(); }, kFaultMs));
  EXPECT_TRUE(w.port->DSRState());
  EXPECT_TRUE(w.port->RLSDState());
  EXPECT_FALSE(w.port->RingState());
  EXPECT_EQ(w.port->ModemState(), 0xB0u);
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
  {  // still pending past the bytes transferred so far x 290 us + 250 ms
    Worker w;
    w.Open();
    w.state->holdWrites = true;
    {
      std::lock_guard lock(w.state->mutex);
      w.state->writeResult = serialcodes::kIoPending;
      // More than the 2 bytes sent: only the transferred count explains the time-out.
      w.state->writeTransferred = 2000;
    }
    QElapsedTimer since;
    since.start();
    w.port->SendText("AB");
    ASSERT_TRUE(w.WaitForReport(9701, "Error write TimeOut", 5000));
    EXPECT_GE(since.elapsed(), 830) << "2000 x 290 us + 250 ms";
    EXPECT_EQ(w.log.Find(9701, "Error write TimeOut")->code, 997u);
    EXPECT_EQ(w.port->WrittenBytes(), 2000u);
    EXPECT_FALSE(w.port->SendInProgress());
  }
}

// A failed write, with the write record's event failing to reset as well: every
// report the worker raises, that of the event operation included, arrives on the
// user-interface thread.
TEST(WorkerReports, ArriveOnTheUserInterfaceThread) {
  Worker w;
  w.Track(&TSerialPort::OnWriteDone, "WriteDone");
  w.Open();
  w.state->Fail("ResetEvent", kEio);
  w.state->holdWrites = true;
  {
    std::lock_guard lock(w.state->mutex);
    w.state->writeResult = kEio;
  }
  w.port->SendText("A");
  ASSERT_TRUE(ProcessUntil([&] { return !w.events.empty(); }, kFaultMs));
  EXPECT_THAT(w.events, ElementsAre("WriteDone"));
  EXPECT_FALSE(w.port->SendInProgress());
  EXPECT_THAT(w.log.reports, ElementsAre(Report{1101, kEio, 0, "Error resetting Overlapped Event"},
                                         Report{9702, kEio, 0, "Error getting Overlapped Result"}));
  EXPECT_THAT(w.log.threads, Each(std::this_thread::get_id()));
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

TEST(WorkerReports, APortThatRefusesEveryEventWaitIsReportedOnceAndTheWorkerDoesNotSpin) {
  Worker w;
  w.state->Fail("WaitCommEvent", kEio);
  w.port->SetCommPort("ttyACM0");
  w.port->SetActive(true);
  ASSERT_TRUE(w.WaitForReport(9907, "Error calling WaitCommEvent"));
  const size_t waitsBefore = w.state->CountCalls("WaitCommEvent");
  ProcessFor(600);
  // A pass that could not start its wait naps as the wait would have waited (75 ms):
  // about 8 attempts in 600 ms; a spinning worker makes thousands.
  EXPECT_LE(w.state->CountCalls("WaitCommEvent") - waitsBefore, 40u);
  EXPECT_EQ(std::count_if(w.log.reports.begin(), w.log.reports.end(), [](const Report& r) { return r.place == 9907; }),
            1);
  w.state->Clear("WaitCommEvent");
  ASSERT_TRUE(ProcessUntil([&] { return w.state->CountCalls("WaitCommEvent") > waitsBefore + 1; }, kFaultMs));
  ProcessFor(200);  // a wait started: the incident is over
  w.state->Fail("WaitCommEvent", kEio);
  w.state->FireEvents(0x001);  // ends the wait: the next one is refused, a new incident
  ASSERT_TRUE(ProcessUntil(
      [&] {
        return std::count_if(w.log.reports.begin(), w.log.reports.end(),
                             [](const Report& r) { return r.place == 9907; }) == 2;
      },
      kFaultMs));
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
  for (auto [code, report] : {std::pair{kEio, Report{9908, kEio, 0, "Error getting Overlappedresult"}},
                              {serialcodes::kOperationAborted,
                               Report{9907, serialcodes::kOperationAborted, 0, "Error read aborted"}}}) {
    Worker w;
    w.Open();
    w.HoldARead();
    w.state->CompleteRead(code);
    ASSERT_TRUE(ProcessUntil([&] { return !w.log.reports.empty(); }, kFaultMs));
    EXPECT_THAT(w.log.reports, ElementsAre(report));
    EXPECT_TRUE(w.port->ReadRequest()) << "a failure of an outstanding read leaves the request";
  }
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
    w.state->waitEndsAtPurge = true;
  }
  w.state->FireEvents(0x001);  // ends the outstanding wait, so the worker starts the next one
  ASSERT_TRUE(ProcessUntil(
      [&] {
        std::lock_guard lock(w.state->mutex);
        return w.state->waitingForPurge;
      },
      2000));
  w.port->SetActive(false);
  ProcessFor(200);
  EXPECT_FALSE(w.log.Has(104, "Warning ThreadIsRunning"));
  EXPECT_FALSE(w.log.Has(9907, "Error calling WaitCommEvent"));
}

TEST(WorkerClosing, AWriteOutstandingAtCloseEndsWithItsFailureAnnouncedWithinTheClose) {
  Worker w;
  w.Track(&TSerialPort::OnWriteDone, "WriteDone");
  w.Open();
  w.state->holdWrites = true;
  w.port->SendText("K");
  w.port->SetActive(false);  // its purge ends the write
  // Both deliveries wait for the user-interface thread, which serves them in the close.
  EXPECT_THAT(w.events, ElementsAre("WriteDone"));
  EXPECT_FALSE(w.port->SendInProgress());
  EXPECT_THAT(w.log.reports,
              ElementsAre(Report{100, 0, 2, "Msg start deactivating Port"},
                          Report{9702, serialcodes::kOperationAborted, 0, "Error getting Overlapped Result"}));
  EXPECT_FALSE(w.port->WorkerBusy()) << "the worker is idle when the close returns";
}

TEST(WorkerClosing, AReadOutstandingAtCloseIsCollectedWithinTheClose) {
  for (auto atPurge : {FakeState::ReadAtPurge::Abort, FakeState::ReadAtPurge::Leave}) {
    Worker w;
    w.Open();
    w.state->readAtPurge = atPurge;  // not yet read by the worker: no read is outstanding
    w.HoldARead();
    w.port->SetActive(false);
    EXPECT_FALSE(w.log.Has(104, "Warning ThreadIsRunning"));
    EXPECT_FALSE(w.port->WorkerBusy());
    // The worker signals the read's event itself: a read the purge left running
    // ends there, as incomplete; an aborted one may be seen either way.
    ASSERT_EQ(w.log.reports.size(), 2u);
    if (atPurge == FakeState::ReadAtPurge::Leave)
      EXPECT_EQ(w.log.reports[1], (Report{9908, serialcodes::kIoIncomplete, 0, "Error getting Overlappedresult"}));
    else
      EXPECT_TRUE(w.log.Has(9907, "Error read aborted") || w.log.Has(9908, "Error getting Overlappedresult"));
  }
}

// The one worker a close cannot free: the delivery it waits in is the handler
// that closes. The close still ends, after its bound, and says so.
TEST(WorkerClosing, ACloseFromInsideADeliveryWaitsItsBoundAndWarns) {
  Worker w;
  bool closed = false;
  w.port->OnRxCharEvent = [&](TSerialPort* p) {
    if (!p->Active()) return;
    p->SetActive(false);
    closed = true;
  };
  w.Open();
  w.state->FireEvents(0x001);
  ASSERT_TRUE(ProcessUntil([&] { return closed; }, kFaultMs));
  EXPECT_TRUE(w.log.Has(104, "Warning ThreadIsRunning"));
  EXPECT_EQ(w.port->ComHandle(), 0xFFFFFFFFu);
  EXPECT_TRUE(ProcessUntil([&] { return !w.port->WorkerBusy(); }, kFaultMs)) << "then the worker goes idle";
}

}  // namespace

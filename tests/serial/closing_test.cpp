// Closing an open port in the usual state: the close ends the worker's event
// wait, and a worker that wakes before the port reads as closed must not start
// a wait the close then refuses (a false report, and a close that waits for
// the user-interface thread it is running on).
#include <gmock/gmock.h>

#include "serial/serialport.h"
#include "tests/serial/fakebackend.h"
#include "tests/serial/reportlog.h"
#include "tests/support/eventwait.h"

using ::testing::ElementsAre;

namespace {

TEST(UsualClose, AWorkerWakingBeforeThePortReadsClosedStartsNoWaitAndNothingIsReported) {
  auto state = std::make_shared<FakeState>();
  state->refuseWaitWithoutMask = true;
  ReportLog log;
  TSerialPort port(std::make_unique<FakeBackend>(state), log.Handler());
  port.SetCommPort("ttyACM0");
  port.SetActive(true);
  ASSERT_TRUE(ProcessUntil([&] { return state->CountCalls("WaitCommEvent") > 0; }, kFaultMs));
  // The user-interface thread stays inside SetEventMask(0) until the woken
  // worker has either gone idle or tried its next event wait.
  state->holdAfterMaskZeroUntil = [&] { return !port.WorkerBusy(); };
  log.reports.clear();

  port.SetActive(false);

  EXPECT_FALSE(port.WorkerBusy());
  EXPECT_THAT(log.reports, ElementsAre(Report{100, 0, 2, "Msg start deactivating Port"}));
  // A report the worker could not deliver during the close would come now.
  ProcessFor(200);
  EXPECT_THAT(log.reports, ElementsAre(Report{100, 0, 2, "Msg start deactivating Port"}));
}

}  // namespace

namespace {

// Destruction: a read and an event wait that both end well just as the port is
// closed. The component is going, so the worker neither queues the bytes nor
// dispatches the events; no handler runs any more.
TEST(Destruction, TheLastReadIsNotQueuedAndTheLastEventsNotDispatched) {
  auto state = std::make_shared<FakeState>();
  std::vector<std::string> ran;  // touched on this thread only, by the handlers
  {
    TSerialPort port(std::make_unique<FakeBackend>(state));
    port.OnRxClusterEvent = [&](TSerialPort*) { ran.push_back("RxCluster"); };
    port.OnRxCharEvent = [&](TSerialPort*) { ran.push_back("RxChar"); };
    port.SetCommPort("ttyACM0");
    port.SetActive(true);
    ASSERT_TRUE(ProcessUntil([&] { return state->CountCalls("WaitCommEvent") > 0; }, kFaultMs));
    {
      std::lock_guard lock(state->mutex);
      state->holdReads = true;
      state->readAtPurge = FakeState::ReadAtPurge::Complete;
      state->waitEndsAtPurge = true;
      state->waitResultAtPurge = 0;
      state->pendingMask = 0x001;
    }
    state->Receive("+\r\n");
    port.SetReadRequest(true);
    ASSERT_TRUE(ProcessUntil([&] { return state->CountCalls("Read") > 0; }, kFaultMs));
    state->FireEvents(0);  // the worker starts its next event wait, which lasts until the purge
    ASSERT_TRUE(ProcessUntil(
        [&] {
          std::lock_guard lock(state->mutex);
          return state->waitingForPurge;
        },
        2000));
  }
  EXPECT_TRUE(ran.empty()) << ran.front();
}

}  // namespace

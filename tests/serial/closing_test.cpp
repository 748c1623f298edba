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

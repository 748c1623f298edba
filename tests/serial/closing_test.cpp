// Closing a port. In the usual state: the close ends the worker's event wait,
// and a worker that wakes before the port reads as closed must not start a wait
// the close then refuses (a false report, and a close that waits for the
// user-interface thread it is running on). At destruction, and with handlers
// served inside the close: they can neither start an open in the middle of it
// nor act on the next port for the one being closed.
#include <gmock/gmock.h>

#include "link/devicelink.h"
#include "serial/portfailure.h"
#include "serial/serialport.h"
#include "tests/serial/fakebackend.h"
#include "tests/serial/reportlog.h"
#include "tests/support/eventwait.h"
#include "tests/support/linkfixture.h"

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

namespace {

constexpr uint32_t kEio = 5, kEbusy = 16;

// The close serves the worker's deliveries while it waits for the worker; here
// the end of a write that the close's purge aborted. A handler served there
// that opens the port must not start an open in the middle of the close: the
// port is still held, and a failed open would leave the close nothing to close.
TEST(HandlerInsideTheClose, AnOpenIsRefusedWithAReportAndTheCloseStillGivesThePortBack) {
  auto state = std::make_shared<FakeState>();
  ReportLog log;
  TSerialPort port(std::make_unique<FakeBackend>(state), log.Handler());
  size_t closesBeforeTheHandler = SIZE_MAX;
  port.OnWriteDone = [&](TSerialPort* sender) {
    closesBeforeTheHandler = state->CountCalls("Close");
    sender->SetActive(true);
  };
  port.SetCommPort("ttyACM0");
  port.SetActive(true);
  ASSERT_TRUE(ProcessUntil([&] { return state->CountCalls("WaitCommEvent") > 0; }, kFaultMs));
  state->holdWrites = true;  // as an overlapped write pends
  port.SendText("D");
  ASSERT_TRUE(port.SendInProgress());
  log.reports.clear();

  port.SetActive(false);

  ASSERT_EQ(closesBeforeTheHandler, 0u) << "the write's end was served inside the close";
  EXPECT_FALSE(port.Active());
  EXPECT_EQ(port.ComHandle(), PortBackend::kNoPort);
  EXPECT_EQ(state->CountCalls("Open:ttyACM0"), 1u) << "the refused open reached the port";
  EXPECT_THAT(log.reports, ElementsAre(Report{100, 0, 2, "Msg start deactivating Port"},
                                       Report{9702, 995, 0, "Error getting Overlapped Result"},
                                       Report{110, 0, 2, "Msg start reactivating Port"},
                                       Report{112, kEbusy, 0, "Error reopening Port"}));
  port.SetActive(true);
  EXPECT_TRUE(port.Active()) << "the port is still held";
}

// The same for a handler of the open's own first report, before the port is
// opened: the open under way goes on and is the only one.
TEST(HandlerInsideTheOpen, AnOpenIsRefusedAndTheOpenUnderWayGoesOn) {
  auto state = std::make_shared<FakeState>();
  ReportLog log;
  bool asked = false;
  TSerialPort port(std::make_unique<FakeBackend>(state), [&](TSerialPort* sender, uint32_t place, uint32_t code,
                                                             const std::string& msg, uint8_t noise) {
    log.reports.push_back({place, code, noise, msg});
    if (place == 110 && !asked) {
      asked = true;
      sender->SetActive(true);
    }
  });
  port.SetCommPort("ttyACM0");
  port.SetActive(true);
  EXPECT_TRUE(port.Active());
  EXPECT_EQ(state->CountCalls("Open:ttyACM0"), 1u);
  EXPECT_THAT(log.reports, ElementsAre(Report{110, 0, 2, "Msg start reactivating Port"},
                                       Report{110, 0, 2, "Msg start reactivating Port"},
                                       Report{112, kEbusy, 0, "Error reopening Port"}));
}

// The user switches ports while the old port's device has just gone: the
// worker's report of it waits for its delivery, which the switch's close serves.
// The command channel answers a gone device as the main window has it answer:
// it closes the port once the report has been served, and waits for the device.
class SwitchAwayFromAGoneDevice : public testing::Test {
 protected:
  std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
  LinkFixture f{std::make_unique<FakeBackend>(state)};
  bool newDeviceGoneToo = false;
  int goneReports = 0;

  void SetUp() override {
    f.port->OnProcessError = [this](TSerialPort*, uint32_t place, uint32_t code, const std::string&, uint8_t) {
      // The new port's opening begins: from here the status checks are the new device's.
      if (place == 110 && !newDeviceGoneToo) state->Clear("ClearCommError");
      if (PortFailure::IsDeviceGone(place, code)) {
        ++goneReports;
        DeviceLink::PortGone();
      }
    };
    DeviceLink::OpenDevicePort("vellamo-old");
    ASSERT_TRUE(ProcessUntil([&] { return state->CountCalls("WaitCommEvent") > 0; }, kFaultMs));
  }

  void SwitchWhileTheOldDevicesReportWaits() {
    state->Fail("ClearCommError", kEio);
    const size_t checks = state->CountCalls("ClearCommError");
    // Not serving the user interface meanwhile: the report cannot be delivered yet.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFaultMs);
    while (state->CountCalls("ClearCommError") == checks && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(state->CountCalls("ClearCommError"), checks);
    DeviceLink::OpenDevicePort("vellamo-new");
    ASSERT_TRUE(f.port->Active());
  }
};

TEST_F(SwitchAwayFromAGoneDevice, TheOldDevicesReportDoesNotCloseTheNewPort) {
  ASSERT_NO_FATAL_FAILURE(SwitchWhileTheOldDevicesReportWaits());
  const size_t checks = state->CountCalls("ClearCommError");
  // Long enough for a close planned by the report: the worker checks the new port twice.
  ASSERT_TRUE(ProcessUntil([&] { return state->CountCalls("ClearCommError") > checks + 1 || !f.port->Active(); },
                           kFaultMs));
  EXPECT_TRUE(f.port->Active());
  EXPECT_EQ(DeviceLink::ConnectionText, "Verbunden auf vellamo-new.");
  EXPECT_FALSE(DeviceLink::AwaitingReturn());
  EXPECT_EQ(goneReports, 0);
}

TEST_F(SwitchAwayFromAGoneDevice, ANewDeviceGoneAsWellIsReportedOnItsOwn) {
  newDeviceGoneToo = true;
  ASSERT_NO_FATAL_FAILURE(SwitchWhileTheOldDevicesReportWaits());
  ASSERT_TRUE(ProcessUntil([&] { return DeviceLink::AwaitingReturn(); }, kFaultMs));
  EXPECT_FALSE(f.port->Active());
  EXPECT_EQ(DeviceLink::ConnectionText, DeviceLink::kNotConnected);
  EXPECT_EQ(goneReports, 1);
}

}  // namespace

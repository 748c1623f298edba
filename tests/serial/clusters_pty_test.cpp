// How received bytes become clusters over a real pty, with the termios backend
// and the real worker; and what the component does when the device is pulled.
#include <gmock/gmock.h>

#include <QElapsedTimer>

#include "devsim/devicesimulator.h"
#include "serial/serialport.h"
#include "tests/serial/reportlog.h"
#include "tests/support/cputime.h"
#include "tests/support/eventwait.h"
#include "tests/support/slowbuild.h"

using namespace std::chrono_literals;
using ::testing::ElementsAre;

namespace {

struct PtyPort {
  devsim::DeviceSimulator sim;
  ReportLog log;
  std::unique_ptr<TSerialPort> port;
  std::vector<std::string> clusters;
  std::vector<qint64> arrivedMs;
  QElapsedTimer clock;

  PtyPort() {
    port = std::make_unique<TSerialPort>(MakePosixBackend(), log.Handler());
    port->OnRxClusterEvent = [this](TSerialPort* p) {
      clusters.push_back(p->ReadClusterText());
      arrivedMs.push_back(clock.elapsed());
    };
    port->SetBaudRate(38400);
    port->SetCommPort(sim.PortPath());
    port->SetActive(true);
    EXPECT_TRUE(ProcessUntil([this] { return port->WorkerBusy(); }, kFaultMs))
        << "the worker takes the port up";
    log.reports.clear();
    clock.start();
  }
  // The port goes first: its destruction may still run handlers that record here.
  ~PtyPort() { port.reset(); }
};

std::string Joined(const std::vector<std::string>& clusters) {
  std::string all;
  for (const std::string& c : clusters) all += c;
  return all;
}

TEST(PtyClusters, ABurstFasterThanTheLimitGrowsIsOneCluster) {
  PtyPort p;
  // A limit far above the burst's 160 ms: the simulator's thread, not scheduled
  // for a while on a busy machine (or under a sanitizer), must not stretch the
  // burst past the limit.
  p.port->SetRTOExtraDelayTime(3000);
  p.sim.SendRaw("12");
  p.sim.SendRaw("34", 80ms);
  p.sim.SendRaw("56", 160ms);
  ASSERT_TRUE(p.sim.WaitForIdle(20s));
  // Every byte delivered, in however many clusters: a split would show now.
  ASSERT_TRUE(ProcessUntil([&] { return Joined(p.clusters).size() >= 6; }, kFaultMs));
  EXPECT_THAT(p.clusters, ElementsAre("123456"));
}

TEST(PtyClusters, APauseLongerThanTheLimitSplitsTheStream) {
  PtyPort p;
  p.sim.SendRaw("first");
  ASSERT_TRUE(p.sim.WaitForIdle(20s));
  const qint64 written = p.clock.elapsed();
  // The pause ends only once "first" has become a cluster of its own: a worker
  // run late cannot join the two, and one that never ends a cluster on a pause
  // fails here.
  ASSERT_TRUE(ProcessUntil([&] { return !p.clusters.empty(); }, kFaultMs));
  // A pause of 600 ms splits: the cluster ends well before (the time rule's
  // 251 ms and a wait slice). An upper bound, left to the plain build.
  if (!kSanitizedBuild) {
    EXPECT_LT(p.arrivedMs[0] - written, 600);
  }
  p.sim.SendRaw("second");
  ASSERT_TRUE(ProcessUntil([&] { return p.clusters.size() >= 2; }, kFaultMs));
  EXPECT_THAT(p.clusters, ElementsAre("first", "second"));
}

TEST(PtyClusters, AnAnswerIsNotTakenBeforeTheTimeRuleAllows) {
  PtyPort p;
  p.sim.SendRaw("512\r\n");
  ASSERT_TRUE(ProcessUntil([&] { return !p.clusters.empty(); }, kFaultMs));
  // The queue was seen empty at most one wait slice (75 ms) before the bytes came.
  EXPECT_GE(p.arrivedMs[0], 251 - 75);
}

TEST(PtyClusters, ClusterSizeOrMoreIsReadAtOnceAsOneCluster) {
  PtyPort p;
  p.port->SetClusterSize(16);
  // The time rule alone would hold the bytes for 5 s: what comes sooner was read at once.
  p.port->SetRTOExtraDelayTime(5000);
  p.sim.SendRaw(std::string(40, 'x'));
  ASSERT_TRUE(ProcessUntil([&] { return !p.clusters.empty(); }, kFaultMs));
  EXPECT_THAT(p.clusters, ElementsAre(std::string(40, 'x')));
}

TEST(PtyClosing, TheUsualCloseEndsTheEventWaitAndNeedsNoWarning) {
  PtyPort p;
  QElapsedTimer took;
  took.start();
  p.port->SetActive(false);
  // An upper bound on the worker's passes, left to the plain build.
  if (!kSanitizedBuild) {
    EXPECT_LT(took.elapsed(), 400) << "the worker goes idle within a pass or two";
  }
  EXPECT_THAT(p.log.reports, ElementsAre(Report{100, 0, 2, "Msg start deactivating Port"}));
  EXPECT_FALSE(p.port->DTRState());
}

TEST(PtyUnplug, AGoneDeviceIsReportedOnceAndCostsNoCpu) {
  PtyPort p;
  p.sim.Unplug();
  ProcessFor(300);
  const double before = ProcessCpuMs();
  ProcessFor(1000);
  const double used = ProcessCpuMs() - before;
  // A busy loop costs a core: the whole second. The test's own event loop costs a
  // few per cent; under a sanitizer's instrumentation that share is no measure.
  if (!kSanitizedBuild) {
    EXPECT_LT(used, 100) << "no busy loop on a hung-up port";
  }
  EXPECT_THAT(p.log.reports, ElementsAre(Report{9803, 5, 0, "Error ClearCommError"}));
  p.port->SetActive(false);
  EXPECT_FALSE(p.port->Active());
  EXPECT_EQ(p.port->ComHandle(), 0xFFFFFFFFu);
  EXPECT_FALSE(p.log.Has(104, "Warning ThreadIsRunning"));
  EXPECT_FALSE(p.log.Has(103, "Error closing Port"));
}

TEST(PtyUnplug, ReopeningAGoneDeviceFailsWithNoSuchFile) {
  PtyPort p;
  p.sim.Unplug();
  p.port->SetActive(false);
  p.log.reports.clear();
  p.port->SetActive(true);
  EXPECT_FALSE(p.port->Active());
  EXPECT_THAT(p.log.reports, ElementsAre(Report{110, 0, 2, "Msg start reactivating Port"},
                                         Report{112, 2, 0, "Error reopening Port"}));
}

TEST(PtyOpening, ASecondOpenerIsTurnedAwayAsBusy) {
  devsim::DeviceSimulator sim;
  TSerialPort first;
  first.SetCommPort(sim.PortPath());
  first.SetActive(true);
  ASSERT_TRUE(first.Active());
  ReportLog log;
  TSerialPort second(MakePosixBackend(), log.Handler());
  second.SetCommPort(sim.PortPath());
  second.SetActive(true);
  EXPECT_FALSE(second.Active());
  const Report* failed = log.Find(112, "Error reopening Port");
  ASSERT_NE(failed, nullptr);
  EXPECT_EQ(failed->code, 16u) << "EBUSY";
}

}  // namespace

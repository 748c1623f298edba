// The serial layer's speed goals, which the benchmarks measure (bench/portclose,
// bench/roundtrip), each checked here with a bound several times the goal, so
// that a later change cannot lose one unnoticed. Every bound on time or processor
// use is the rule under test and is checked in the plain build only.
#include <gmock/gmock.h>

#include <QElapsedTimer>
#include <algorithm>
#include <vector>

#include "devsim/adapterlines.h"
#include "devsim/devicesimulator.h"
#include "link/devicelink.h"
#include "serial/serialport.h"
#include "tests/support/cputime.h"
#include "tests/support/eventwait.h"
#include "tests/support/linkfixture.h"
#include "tests/support/slowbuild.h"

namespace DL = DeviceLink;

namespace {

// Every port change, firmware update and program end closes a port that has
// just answered a query; such a close must not hold the window. Goal: 150 ms
// at most. 600 ms stays clear of a loaded machine's jitter and far below the
// 1125 ms of a close that waits for a delivery it does not serve.
TEST(GoalFigures, ClosingRightAfterAQueryNeverFreezesAndReportsNothing) {
  LinkFixture f;
  devsim::DeviceSimulator sim;
  std::vector<std::string> reports;  // errors and warnings
  f.port->OnProcessError = [&](TSerialPort*, uint32_t place, uint32_t, const std::string& msg, uint8_t noise) {
    if (noise < 2) reports.push_back(std::to_string(place) + " " + msg);
  };
  double longestMs = 0;
  for (int cycle = 0; cycle < 20; ++cycle) {
    DL::OpenDevicePort(QString::fromStdString(sim.PortPath()));
    ASSERT_EQ(DL::ReadAudioLevel(), 150) << "cycle " << cycle;
    QElapsedTimer took;
    took.start();
    DL::CloseDevicePort();
    longestMs = std::max(longestMs, took.nsecsElapsed() / 1e6);
    // An idle worker has nothing left to report after the close.
    ASSERT_FALSE(f.port->WorkerBusy()) << "cycle " << cycle;
  }
  EXPECT_THAT(reports, ::testing::IsEmpty());
  RecordProperty("longest close ms", static_cast<int>(longestMs));
  if (!kSanitizedBuild) {
    EXPECT_LE(longestMs, 600);
  }
}

// An open port that nothing is sent to, behind a USB adapter whose modem lines
// and counters answer (each query a control transfer on the bus). Goals: the
// worker at most 0.3 % of a core and 15 modem-line queries a second.
TEST(GoalFigures, AQuietOpenPortCostsTheWorkerAlmostNothing) {
  devsim::DeviceSimulator sim;
  devsim::AdapterLines adapter;
  TSerialPort port(MakePosixBackend(adapter.Requests()));
  port.SetBaudRate(38400);
  port.SetCommPort(sim.PortPath());
  port.SetActive(true);
  ASSERT_TRUE(ProcessUntil([&] { return port.WorkerBusy(); }, kFaultMs));
  ProcessFor(300);  // past the opening's own traffic
  const double cpuBefore = ThreadCpuMs("vellamo-serial");
  const int queriesBefore = adapter.lineQueries;
  QElapsedTimer quiet;
  quiet.start();
  ProcessFor(3000);
  const double seconds = quiet.elapsed() / 1000.0;
  const double cpuPercent = (ThreadCpuMs("vellamo-serial") - cpuBefore) / 10.0 / seconds;
  const double queriesPerSecond = (adapter.lineQueries - queriesBefore) / seconds;
  RecordProperty("worker CPU per mille", static_cast<int>(cpuPercent * 10));
  RecordProperty("modem-line queries per second", static_cast<int>(queriesPerSecond));
  if (!kSanitizedBuild) {
    EXPECT_LE(cpuPercent, 1.5) << "per cent of one core";
    EXPECT_LE(queriesPerSecond, 60);
  }
  EXPECT_GT(queriesPerSecond, 0) << "the lines are still watched";
  port.SetActive(false);
}

// A query's answer is taken when the time rule says: 250 ms plus 0.29 ms a
// byte after the worker last saw the queue empty, which it did shortly before
// the answer came. Goal: the median no more than 5 ms over the rule; the bound
// allows a whole further wait slice. (That the worker's waits end when the
// answer falls due, not up to a slice later, is shown exactly against the fake
// backend: WorkerClusters.AWaitEndsWhenTheQueuedBytesFallDue.)
TEST(GoalFigures, AQueryRoundTripStaysNearTheTimeRule) {
  LinkFixture f;
  devsim::DeviceSimulator sim;
  DL::OpenDevicePort(QString::fromStdString(sim.PortPath()));
  ASSERT_TRUE(ProcessUntil([&] { return f.port->WorkerBusy(); }, kFaultMs));
  std::vector<double> ms;
  for (int i = 0; i < 9; ++i) {
    QElapsedTimer took;
    took.start();
    ASSERT_EQ(DL::ReadAudioLevel(), 150);
    ms.push_back(took.nsecsElapsed() / 1e6);
  }
  std::sort(ms.begin(), ms.end());
  const double rule = 250 + 5 * 0.29;  // "150\r\n"
  RecordProperty("median round trip ms", static_cast<int>(ms[ms.size() / 2]));
  if (!kSanitizedBuild) {
    EXPECT_LE(ms[ms.size() / 2], rule + 75);
  }
  DL::CloseDevicePort();
}

}  // namespace

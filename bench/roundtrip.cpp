// Round trips of a number query over a pty to the device simulator, and the
// serial worker's CPU share while the port is open and idle: once on the bare pty,
// once with modem lines and error counters under it, as every USB adapter has.
//   roundtrip [queries=40] [idle seconds=10]

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/benchsupport.h"
#include "bench/linkedport.h"
#include "devsim/adapterlines.h"
#include "devsim/devicesimulator.h"
#include "link/devicelink.h"
#include "serial/serialport.h"
#include "tests/support/cputime.h"

namespace {

// The worker's CPU share over `seconds` of an open, quiet port, in percent of one core.
double IdleCpuPercent(int seconds) {
  const double before = ThreadCpuMs("vellamo-serial");
  QElapsedTimer idle;
  idle.start();
  DeviceLink::PumpWait(seconds * 1000);
  return 100.0 * (ThreadCpuMs("vellamo-serial") - before) / idle.elapsed();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int queries = argc > 1 ? std::atoi(argv[1]) : 40;
  const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;

  devsim::DeviceSimulator sim;
  LinkedPort linked;
  DeviceLink::OpenDevicePort(QString::fromStdString(sim.PortPath()));
  DeviceLink::PumpWait(500);

  std::vector<double> ms;
  int failures = 0;
  for (int i = 0; i < queries; ++i) {
    QElapsedTimer t;
    t.start();
    if (DeviceLink::ReadAudioLevel() < 0) ++failures;
    ms.push_back(t.nsecsElapsed() / 1e6);
    DeviceLink::PumpWait(50);
  }
  const size_t answerBytes = std::to_string(150).size() + 2;
  const double limit = 250 + answerBytes * 0.290;
  std::printf("round trip of \"B\" over %d queries (%d failed): median %.2f ms, p95 %.2f ms\n", queries,
              failures, Percentile(ms, 0.5), Percentile(ms, 0.95));
  std::printf("time rule for a %zu-byte answer: %.2f ms; median over the rule: %+.2f ms (goal <= +5)\n",
              answerBytes, limit, Percentile(ms, 0.5) - limit);

  std::printf("worker CPU while idle with the port open (pty): %.3f %% of one core (goal <= 0.3 %%)\n",
              IdleCpuPercent(idleSeconds));
  DeviceLink::CloseDevicePort();

  // The same port as a USB adapter shows it: its modem lines and counters answer.
  // The channel's closed port keeps its worker, which naps 200 ms at a time.
  devsim::AdapterLines adapter;
  TSerialPort port(MakePosixBackend(adapter.Requests()));
  port.SetCommPort(sim.PortPath());
  port.SetBaudRate(38400);
  port.SetActive(true);
  DeviceLink::PumpWait(500);
  const int queriesBefore = adapter.lineQueries;
  QElapsedTimer idle;
  idle.start();
  const double percent = IdleCpuPercent(idleSeconds);
  const double lineRate = (adapter.lineQueries - queriesBefore) / (idle.elapsed() / 1000.0);
  std::printf(
      "worker CPU while idle with modem lines (adapter): %.3f %% of one core (goal <= 0.3 %%), "
      "%.1f modem-line queries/s (goal <= 15)\n",
      percent, lineRate);
  port.SetActive(false);
  return failures == 0 && port.ComHandle() == PortBackend::kNoPort ? 0 : 1;
}

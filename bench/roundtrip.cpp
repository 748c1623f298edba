// Round trips of a number query over a pty to the device simulator, and the
// serial worker's CPU share while the port is open and idle: once on the bare pty,
// once with modem lines and error counters under it, as every USB adapter has.
//   roundtrip [queries=40] [idle seconds=10]
#include <dirent.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/benchsupport.h"
#include "bench/linkedport.h"
#include "devsim/adapterlines.h"
#include "devsim/devicesimulator.h"
#include "link/devicelink.h"
#include "serial/serialport.h"

namespace {

// CPU time in seconds of the thread called `name` in this process.
double ThreadCpuSeconds(const std::string& name) {
  DIR* dir = opendir("/proc/self/task");
  double total = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + entry->d_name;
    std::string comm;
    std::getline(std::ifstream(base + "/comm"), comm);
    if (comm != name) continue;
    std::string stat;
    std::getline(std::ifstream(base + "/stat"), stat);
    // Fields after the command's closing parenthesis; utime and stime are 14 and 15.
    std::string rest = stat.substr(stat.rfind(')') + 2);
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos < rest.size()) {
      size_t next = rest.find(' ', pos);
      fields.push_back(rest.substr(pos, next - pos));
      if (next == std::string::npos) break;
      pos = next + 1;
    }
    total += (std::stod(fields[11]) + std::stod(fields[12])) / sysconf(_SC_CLK_TCK);
  }
  closedir(dir);
  return total;
}

// The worker's CPU share over `seconds` of an open, quiet port, in percent of one core.
double IdleCpuPercent(int seconds) {
  const double before = ThreadCpuSeconds("vellamo-serial");
  QElapsedTimer idle;
  idle.start();
  DeviceLink::PumpWait(seconds * 1000);
  return 100.0 * (ThreadCpuSeconds("vellamo-serial") - before) / (idle.elapsed() / 1000.0);
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

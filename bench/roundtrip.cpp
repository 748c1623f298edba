// Round trips of a number query over a pty to the device simulator, and the
// serial worker's CPU share while the port is open and idle.
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
#include "devsim/devicesimulator.h"
#include "bench/linkedport.h"
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

  const double before = ThreadCpuSeconds("vellamo-serial");
  QElapsedTimer idle;
  idle.start();
  DeviceLink::PumpWait(idleSeconds * 1000);
  const double used = ThreadCpuSeconds("vellamo-serial") - before;
  std::printf(
      "worker CPU while idle with the port open: %.3f s in %.1f s = %.3f %% of one core (goal <= 0.3 %%)\n",
      used, idle.elapsed() / 1000.0, 100.0 * used / (idle.elapsed() / 1000.0));
  DeviceLink::CloseDevicePort();
  return failures == 0 ? 0 : 1;
}

// Closing a live port as the main window does after the usual traffic: open the
// device simulator's port, ask one number, close. Prints the close times and
// every error or warning the cycles made ("Warning ThreadIsRunning" is 104).
//   portclose [cycles=50]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "devsim/devicesimulator.h"
#include "link/devicelink.h"
#include "serial/serialport.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int cycles = argc > 1 ? std::atoi(argv[1]) : 50;

  devsim::DeviceSimulator sim;
  // Errors and warnings, "place msg" -> count: a healthy cycle makes none. A
  // worker's report may reach the user-interface thread only after its close.
  std::map<std::string, int> reports;
  TSerialPort port(MakePosixBackend(),
                   [&](TSerialPort*, uint32_t place, uint32_t, const std::string& msg, uint8_t noise) {
                     if (noise < 2) ++reports[std::to_string(place) + " " + msg];
                   });
  port.OnRxClusterEvent = [](TSerialPort* p) { DeviceLink::AcceptAnswer(p->ReadClusterText()); };
  DeviceLink::Attach(&port);
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [] { DeviceLink::Tick(); });
  tick.start(100);

  std::vector<double> ms;
  int failedQueries = 0;
  for (int i = 0; i < cycles; ++i) {
    DeviceLink::OpenDevicePort(QString::fromStdString(sim.PortPath()));
    // The idle worker takes up to 400 ms to see the port open; a query asked
    // before that is answered all the same, within its one second.
    if (DeviceLink::ReadAudioLevel() < 0) ++failedQueries;
    QElapsedTimer t;
    t.start();
    DeviceLink::CloseDevicePort();
    ms.push_back(t.nsecsElapsed() / 1e6);
  }
  DeviceLink::PumpWait(300);  // the last close's late reports
  DeviceLink::Attach(nullptr);

  std::vector<double> sorted = ms;
  std::sort(sorted.begin(), sorted.end());
  const size_t n = sorted.size();
  const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  const auto over = std::count_if(ms.begin(), ms.end(), [](double v) { return v > 150; });
  std::printf(
      "%d closes after a query (%d queries failed): median %.1f ms, max %.1f ms, %ld over 150 ms "
      "(goal: max <= 150 ms)\n",
      cycles, failedQueries, median, sorted.back(), static_cast<long>(over));
  const auto warning = reports.find("104 Warning ThreadIsRunning");
  std::printf("closes that reported 104 \"Warning ThreadIsRunning\": %d (goal: 0)\n",
              warning == reports.end() ? 0 : warning->second);
  for (const auto& [report, count] : reports)
    std::printf("  error or warning: %s x %d\n", report.c_str(), count);
  return 0;
}

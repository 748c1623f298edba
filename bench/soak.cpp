// Many number queries in a row to the device simulator (the program vellamo-devsim,
// so that its logs do not count in this process's memory) over a pty, each with an
// answer of its own: none may be lost or taken for another, and memory must stay flat.
//   soak [queries=2000]
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/benchsupport.h"
#include "bench/linkedport.h"
#include "link/devicelink.h"
#include "serial/serialport.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int queries = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (queries < 10) {
    std::fprintf(stderr, "soak: at least 10 queries\n");
    return 2;
  }

  // Distinct answers of one length, so that latency does not vary with it.
  std::vector<int> expected;
  QString values = QStringLiteral("B=");
  for (int i = 0; i < queries; ++i) {
    expected.push_back(1000000 + i * 7);
    values += (i ? QStringLiteral(",") : QString()) + QString::number(expected.back());
  }
  QProcess device;
  device.start(QStringLiteral(VELLAMO_DEVSIM_PROGRAM),
               {QStringLiteral("--no-announce"), QStringLiteral("--exit-with-pid"), QString::number(getpid()),
                QStringLiteral("--values"), values});
  if (!device.waitForStarted(10000) || !device.waitForReadyRead(10000)) {
    std::fprintf(stderr, "soak: vellamo-devsim did not start\n");
    return 2;
  }
  const QString portPath = QString::fromLocal8Bit(device.readLine()).trimmed();

  LinkedPort linked;
  DeviceLink::OpenDevicePort(portPath);
  DeviceLink::PumpWait(500);

  std::vector<double> ms;
  int lost = 0, wrong = 0;
  long rssAtTenth = 0;
  for (int i = 0; i < queries; ++i) {
    QElapsedTimer t;
    t.start();
    const int32_t value = DeviceLink::ReadAudioLevel();
    ms.push_back(t.nsecsElapsed() / 1e6);
    if (value == -1)
      ++lost;
    else if (value != expected[i])
      ++wrong;
    if (i + 1 == queries / 10) rssAtTenth = ResidentKb();
  }
  const long rssAtEnd = ResidentKb();
  DeviceLink::CloseDevicePort();
  device.terminate();
  device.waitForFinished(5000);

  std::printf("soak: %d queries over %s: lost %d, wrong %d (goal 0 and 0)\n", queries,
              portPath.toLocal8Bit().constData(), lost, wrong);
  std::printf("RSS at 10 %%: %ld kB, at the end: %ld kB, growth %+ld kB (goal <= 256 kB)\n", rssAtTenth,
              rssAtEnd, rssAtEnd - rssAtTenth);
  std::printf("latency: median %.2f ms, p95 %.2f ms, p99 %.2f ms, max %.2f ms\n", Percentile(ms, 0.5),
              Percentile(ms, 0.95), Percentile(ms, 0.99), Percentile(ms, 1.0));
  return lost == 0 && wrong == 0 ? 0 : 1;
}

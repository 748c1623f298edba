// 10 MB of random bytes into an open port while number queries go on: the
// throughput, memory before and after, whether every byte arrived once and in
// order, and the longest time the user-interface thread was kept from a 10 ms timer.
// The far end is a pty master of this benchmark, not the simulator: its writer
// thread makes the bytes from a seeded generator and the receiving side checks
// them against a second generator with the same seed, so neither keeps a copy.
//   flood [megabytes=10]
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "bench/benchsupport.h"
#include "link/devicelink.h"
#include "serial/serialport.h"

namespace {

constexpr uint32_t kSeed = 17;

// The byte stream both ends agree on.
class RandomBytes {
 public:
  uint8_t Next() { return static_cast<uint8_t>(generator_() >> 24); }

 private:
  std::mt19937 generator_{kSeed};
};

// The device end: writes `total` random bytes into the master and swallows the
// commands the program sends meanwhile.
void Flood(int master, size_t total, std::atomic<size_t>& commandBytes) {
  RandomBytes source;
  char chunk[4096];
  size_t filled = 0, offset = 0, written = 0;
  while (written < total) {
    if (offset == filled) {
      filled = std::min(sizeof chunk, total - written);
      for (size_t i = 0; i < filled; ++i) chunk[i] = static_cast<char>(source.Next());
      offset = 0;
    }
    pollfd fd{master, POLLIN | POLLOUT, 0};
    if (poll(&fd, 1, 1000) <= 0) continue;
    if (fd.revents & POLLIN) {
      char commands[64];
      const ssize_t n = read(master, commands, sizeof commands);
      if (n > 0) commandBytes += size_t(n);
    }
    if (fd.revents & POLLOUT) {
      const ssize_t n = write(master, chunk + offset, filled - offset);
      if (n > 0) {
        offset += size_t(n);
        written += size_t(n);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const size_t total = size_t(argc > 1 ? std::atof(argv[1]) : 10) * 1024 * 1024;

  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("flood: pty");
    return 2;
  }
  const QString slavePath = QString::fromLocal8Bit(ptsname(master));

  // Every received byte is checked against the agreed stream, then handed on as
  // the answer a waiting query sees.
  RandomBytes expected;
  size_t received = 0, firstWrong = SIZE_MAX;
  TSerialPort port;
  port.OnRxClusterEvent = [&](TSerialPort* p) {
    const std::string text = p->ReadClusterText();
    for (unsigned char c : text) {
      if (c != expected.Next() && firstWrong == SIZE_MAX) firstWrong = received;
      ++received;
    }
    DeviceLink::AcceptAnswer(text);
  };
  DeviceLink::Attach(&port);
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [] { DeviceLink::Tick(); });
  tick.start(100);

  QElapsedTimer sinceBeat;
  qint64 worstGap = 0;
  QTimer beat;
  beat.setTimerType(Qt::PreciseTimer);
  QObject::connect(&beat, &QTimer::timeout, [&] {
    worstGap = std::max(worstGap, sinceBeat.elapsed());
    sinceBeat.restart();
  });

  DeviceLink::OpenDevicePort(slavePath);
  if (!port.Active()) {
    std::fprintf(stderr, "flood: the port did not open\n");
    return 2;
  }
  DeviceLink::PumpWait(500);
  const long rssBefore = ResidentKb();

  std::atomic<size_t> commandBytes{0};
  QElapsedTimer clock;
  clock.start();
  sinceBeat.start();
  beat.start(10);
  std::thread writer(Flood, master, total, std::ref(commandBytes));
  int queries = 0;
  size_t lastReceived = 0;
  QElapsedTimer sinceProgress;
  sinceProgress.start();
  while (received < total) {
    DeviceLink::ReadAudioLevel();
    ++queries;
    if (received != lastReceived) {
      lastReceived = received;
      sinceProgress.restart();
    } else if (sinceProgress.elapsed() > 30000) {
      break;  // the bytes stopped coming: reported below as missing
    }
  }
  const double seconds = clock.nsecsElapsed() / 1e9;
  beat.stop();
  writer.join();
  DeviceLink::PumpWait(300);  // anything beyond the stream would show up here
  const long rssAfter = ResidentKb();
  DeviceLink::CloseDevicePort();
  close(master);

  const bool inOrder = received == total && firstWrong == SIZE_MAX;
  std::printf(
      "flood: %zu bytes in %.2f s = %.2f MB/s while %d queries ran (%zu command bytes reached the device)\n",
      total, seconds, total / seconds / 1e6, queries, commandBytes.load());
  std::printf("received %zu bytes, every byte once and in order: %s", received, inOrder ? "yes\n" : "NO");
  if (!inOrder && firstWrong != SIZE_MAX) std::printf(" (first wrong byte at %zu)", firstWrong);
  if (!inOrder) std::printf("\n");
  std::printf("RSS before: %ld kB, after: %ld kB, growth %+ld kB (goal <= 1024 kB)\n", rssBefore, rssAfter,
              rssAfter - rssBefore);
  std::printf("worst gap of the 10 ms timer: %lld ms (goal <= 100 ms)\n", static_cast<long long>(worstGap));
  return inOrder ? 0 : 1;
}

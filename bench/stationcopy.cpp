// One playback into a station of 1, 2, 4 and 8 clocks: the copy sequence
// driving one command channel per clock, each clock a device simulator on its
// own pty hearing the sound server's default output, as a splitter would feed
// every clock the same line out. The clocks' ears differ (a full-scale tone
// reads 1000, 800, 600 … at most), so that they need different levels and the
// volume rises until the least sensitive hears enough. The same set each run.
//
// Per run it prints the wall time from the start to the last verdict and its
// ratio to the single clock's, the worst span error of a recording (the span
// of sound a clock heard between "I" and "J" against the file's), the
// commands lost or extra over all clocks, and the worst skew of "I" and of
// "J" across the clocks (the spread of the moments the clocks received the
// same entry's command; and of the moments the station wrote it, which leaves
// out how late each simulator's thread got to read it). Goals: 8 clocks in at most 1.15 times one clock's
// time, span error <= 10 ms, 0 lost, "I" skew <= 20 ms.
//
// Usage: stationcopy [clocks ... = 1 2 4 8]
// Needs a sound server with a null sink (scripts/soundserver.sh).

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/speech/probewords.h"
#include "devsim/devicesimulator.h"
#include "link/clocklink.h"
#include "serial/serialport.h"
#include "speech/audio.h"
#include "speech/audiooutput.h"
#include "speech/copysequence.h"
#include "tests/support/eventwait.h"

namespace {

constexpr int kEntries = 5;
constexpr int kPauseMs = 250;
constexpr auto kProcessing = std::chrono::milliseconds(3000);

// One clock: the simulator, and the port and channel the station speaks over.
struct StationClock {
  std::unique_ptr<devsim::DeviceSimulator> device;
  // Before the port: the port's last deliveries, as it closes, reach a live channel.
  std::unique_ptr<ClockLink> link;
  std::unique_ptr<TSerialPort> port;
  QTimer tick;
  // When each command was handed to the port, in order: the sender's side of the skew.
  std::vector<devsim::Clock::time_point> written;
};

// The host of a benchmark run: its own timer, the list, the outcome.
class BenchHost : public CopySequence::Host {
 public:
  BenchHost(QStringList entries, QString folder, size_t clocks)
      : pending_(std::move(entries)), folder_(std::move(folder)), levels_(clocks, 0), failures_(clocks) {
    timer_.setSingleShot(true);
  }
  void Drive(CopySequence& sequence) {
    QObject::connect(&timer_, &QTimer::timeout, [this, &sequence] { sequence.Tick(state_); });
  }
  void Arm(CopyStates::State state, int afterMs) override {
    state_ = state;
    timer_.start(afterMs);
  }
  void Disarm() override { timer_.stop(); }
  void Status(const QString&, const QString&, const QString&) override {}
  void ResetProgress() override {}
  void Progress(std::uint32_t, std::uint32_t) override {}
  QStringList PendingEntries() const override { return pending_; }
  void EntryTaken() override { pending_.removeFirst(); }
  void Message(CopyFailure failure, const QString&) override { runFailure_ = CopyFailureCode(failure); }
  void Holding(bool) override {}
  void Close() override { ended_ = true; }
  void Succeeded() override { ended_ = true; }
  QString DataFolder() const override { return folder_; }
  void ClockMessage(size_t clock, CopyFailure failure, const QString&) override {
    if (failures_[clock].empty()) failures_[clock] = CopyFailureCode(failure);
  }
  void ClockLevel(size_t clock, int32_t, std::uint32_t trialVolume) override {
    ++levels_[clock];
    trialVolume_ = trialVolume;
  }
  bool Ended() const { return ended_; }
  int LevelReadings(size_t clock) const { return levels_[clock]; }
  const std::string& Failure(size_t clock) const { return failures_[clock]; }
  const std::string& RunFailure() const { return runFailure_; }
  std::uint32_t TrialVolume() const { return trialVolume_; }

 private:
  QStringList pending_;
  QString folder_;
  QTimer timer_;
  int state_ = 0;
  bool ended_ = false;
  std::vector<int> levels_;
  std::vector<std::string> failures_;
  std::string runFailure_;
  std::uint32_t trialVolume_ = 0;
};

double Ms(devsim::Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The moments each clock received its n-th `command` (or, `sent`, the moments
// the station wrote it), spread across the clocks: the worst over the entries.
double WorstSkewMs(const std::vector<std::unique_ptr<StationClock>>& clocks, char command, bool sent = false) {
  std::vector<std::vector<devsim::Clock::time_point>> times;
  for (const auto& clock : clocks) {
    times.emplace_back();
    const std::vector<devsim::LoggedByte> log = clock->device->Log();
    for (size_t i = 0; i < log.size(); ++i)
      if (log[i].value == static_cast<uint8_t>(command))
        times.back().push_back(sent ? (i < clock->written.size() ? clock->written[i] : log[i].time) : log[i].time);
  }
  double worst = 0;
  for (size_t n = 0; n < kEntries; ++n) {
    std::vector<devsim::Clock::time_point> at;
    for (const auto& t : times)
      if (t.size() > n) at.push_back(t[n]);
    if (at.size() < 2) continue;
    const auto [first, last] = std::minmax_element(at.begin(), at.end());
    worst = std::max(worst, Ms(*last - *first));
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1, 2, 4, 8};

  QTemporaryDir folder;
  const devsim::HearingOptions hearing;
  ProbeWords words;
  if (!folder.isValid() ||
      !MakeProbeWords(folder.path(), kEntries, kPauseMs, int(hearing.silenceThreshold * 32768.0), words)) {
    std::fprintf(stderr, "stationcopy: cannot make the program folder\n");
    return 1;
  }
  const std::vector<double>& fileSpanMs = words.fileSpanMs;
  InitAudio();
  if (!CurrentAudioOutput().Open()) {
    std::fprintf(stderr, "stationcopy: no sound output\n");
    return 1;
  }
  const std::uint32_t usersVolume = GetOutputVolume();

  std::printf("%d entries of 1 to 2 s, processing %lld ms per clock\n", kEntries,
              static_cast<long long>(kProcessing.count()));
  std::printf("clocks  time s  ratio  volume  span err ms  lost  extra  I skew ms  J skew ms  (written: I  J)  failed\n");
  double single = 0;
  for (const int count : sizes) {
    std::vector<std::unique_ptr<StationClock>> clocks;
    std::vector<ClockLink*> links;
    for (int i = 0; i < count; ++i) {
      auto clock = std::make_unique<StationClock>();
      devsim::Options options;
      options.hearing = hearing;
      options.hearing->fullScaleReading = 1000 - 50 * i;
      options.processingTime = kProcessing;
      clock->device = std::make_unique<devsim::DeviceSimulator>(options);
      clock->port = std::make_unique<TSerialPort>();
      clock->link = std::make_unique<ClockLink>();
      ClockLink* link = clock->link.get();
      clock->port->OnRxClusterEvent = [link](TSerialPort* p) { link->AcceptAnswer(p->ReadClusterText()); };
      std::vector<devsim::Clock::time_point>* written = &clock->written;
      clock->port->OnWriteDone = [written](TSerialPort*) { written->push_back(devsim::Clock::now()); };
      link->Attach(clock->port.get());
      QObject::connect(&clock->tick, &QTimer::timeout, [link] { link->Tick(); });
      clock->tick.start(100);
      link->OpenDevicePort(QString::fromStdString(clock->device->PortPath()));
      TSerialPort* port = clock->port.get();
      ProcessUntil([port] { return port->WorkerBusy(); }, 2000);
      links.push_back(link);
      clocks.push_back(std::move(clock));
    }
    BenchHost host(words.entries, folder.path() + "/", clocks.size());
    CopySequence sequence(host, links);
    host.Drive(sequence);
    QElapsedTimer wall;
    wall.start();
    sequence.Start();
    ProcessUntil([&] { return host.Ended(); }, 600000);
    const double seconds = double(wall.elapsed()) / 1000;
    if (single == 0) single = seconds;

    double spanError = 0;
    size_t lost = 0, extra = 0;
    std::string failed;
    for (size_t i = 0; i < clocks.size(); ++i) {
      devsim::DeviceSimulator& device = *clocks[i]->device;
      device.WaitForIdle(std::chrono::milliseconds(2000));
      device.WaitForHeardRecordings(kEntries, std::chrono::milliseconds(2000));
      std::string expected = "*" + std::string(size_t(host.LevelReadings(i)), 'B') + "G";
      for (int e = 0; e < kEntries; ++e) expected += "IJ";
      expected += "HK{";
      const Difference difference = Compare(expected, device.Received());
      lost += difference.lost;
      extra += difference.extra;
      const std::vector<devsim::HeardRecording> heard = device.HeardRecordings();
      for (size_t r = 0; r < heard.size() && r < fileSpanMs.size(); ++r)
        spanError = std::max(spanError, std::abs((heard[r].soundHeard ? double(heard[r].span.count()) : 0) -
                                                 fileSpanMs[r]));
      if (heard.size() < fileSpanMs.size()) spanError = std::max(spanError, 1e9);
      if (!host.Failure(i).empty()) failed += (failed.empty() ? "" : ",") + std::to_string(i) + ":" + host.Failure(i);
    }
    if (!host.RunFailure().empty()) failed += (failed.empty() ? "" : ",") + host.RunFailure();
    std::printf("%6d  %6.2f  %5.3f  %6u  %11.1f  %4zu  %5zu  %9.1f  %9.1f  %11.1f %4.1f  %s\n", count, seconds,
                seconds / single, host.TrialVolume(), spanError, lost, extra, WorstSkewMs(clocks, 'I'),
                WorstSkewMs(clocks, 'J'), WorstSkewMs(clocks, 'I', true), WorstSkewMs(clocks, 'J', true),
                failed.empty() ? "-" : failed.c_str());
    std::fflush(stdout);
    for (auto& clock : clocks) {
      clock->tick.stop();
      clock->link->CloseDevicePort();
      clock->link->Attach(nullptr);
    }
  }
  if (GetOutputVolume() != usersVolume) std::printf("the user's volume was not put back!\n");
  return 0;
}

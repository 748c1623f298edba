// A whole copy run of n entries (n = 1, 5, 20) through "Sprachdaten kopieren":
// the device simulator on a pty answering at once, the sound through the real
// output (run it beside a sound server, e.g. the tests' null sink). For each
// run it prints the wall time minus the audio's own duration, per entry, and
// the same per entry measured from the device's log (from one "I" to the next,
// minus the file; the last entry up to "H"), beside the goal: the sequence's own waits per entry (two
// round trips, the 250 ms after a recording, at most one 25 ms poll) plus 5 %.
// RSS after each run: the run of 20 should stay within 5 MB of the run of 1.
// And how late "I" and "J" reached the device, the worst over each run: "I" after
// the word's playback was started, "J" after the sequence's last look that still
// saw the word playing (so an upper bound of how late it left after the end).
// The goal is a few ms for both.
//
// Usage: copyrun [seconds per file = 0.5]   (sounds are made in copyrun-data beside the program)

#include <sndfile.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/linkedport.h"
#include "devsim/devicesimulator.h"
#include "link/devicelink.h"
#include "serial/serialport.h"
#include "speech/audio.h"
#include "speech/audiooutput.h"
#include "speech/voicecopy.h"
#include "tests/support/eventwait.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

namespace {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool WriteTone(const fs::path& path, double seconds, double frequency) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return false;
  const long frames = std::lround(seconds * 44100);
  std::vector<short> samples(frames);
  for (long i = 0; i < frames; ++i)
    samples[i] = short(0.5 * 32767 * std::sin(2 * M_PI * frequency * double(i) / 44100));
  sf_writef_short(file, samples.data(), frames);
  sf_close(file);
  return true;
}

long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return 0;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The program's sound output, with the times the sequence met it: each start
// of playback, and each look that still found a stream playing.
class TimedOutput : public AudioOutput {
 public:
  explicit TimedOutput(AudioOutput& real) : real_(real) {}
  std::vector<Clock::time_point> starts;
  std::map<StreamHandle, Clock::time_point> lastSeenPlaying;
  std::vector<Clock::time_point> ends;  // per stream that stopped playing: its last look playing

  bool Open() override { return real_.Open(); }
  StreamHandle Play(const std::string& path) override {
    const StreamHandle handle = real_.Play(path);
    starts.push_back(Clock::now());
    return handle;
  }
  void Free(StreamHandle stream) override { real_.Free(stream); }
  bool IsPlaying(StreamHandle stream) override {
    const auto now = Clock::now();
    const bool playing = real_.IsPlaying(stream);
    if (playing) {
      lastSeenPlaying[stream] = now;
    } else if (const auto it = lastSeenPlaying.find(stream); it != lastSeenPlaying.end()) {
      ends.push_back(it->second);
      lastSeenPlaying.erase(it);
    }
    return playing;
  }
  bool EndedEarly(StreamHandle stream) override { return real_.EndedEarly(stream); }
  std::uint64_t Length(StreamHandle stream) override { return real_.Length(stream); }
  std::uint64_t Position(StreamHandle stream) override { return real_.Position(stream); }
  int StoppedSoundEndsInMs() override { return real_.StoppedSoundEndsInMs(); }

 private:
  AudioOutput& real_;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 0.5;
  SetMessageHook(
      [](const QString& text, MessageKind) { std::fprintf(stderr, "message: %s\n", qPrintable(text)); });

  // The program folder of the run: the calibration tone and the files.
  const fs::path folder = fs::read_symlink("/proc/self/exe").parent_path() / "copyrun-data";
  fs::create_directories(folder / "resources");
  fs::create_directories(folder / "speechset");
  if (!WriteTone(folder / "resources" / "tone.mp3", 2.0, 1000)) {  // WAV data; the decoder goes by content
    std::fprintf(stderr, "copyrun: cannot write into %s\n", folder.c_str());
    return 1;
  }
  for (int i = 0; i < 20; ++i)
    WriteTone(folder / "speechset" / ("file" + std::to_string(i) + ".wav"), seconds, 300 + 40 * i);
  OverrideProgramFolder(QString::fromStdString(folder.string()));

  devsim::Options options;
  options.processingTime = std::chrono::milliseconds(0);
  devsim::DeviceSimulator device(options);
  LinkedPort linked;
  DeviceLink::OpenDevicePort(QString::fromStdString(device.PortPath()));
  ProcessFor(500);  // the idle worker notices the opening

  // One round trip by the time rule, as the sequence meets it.
  std::vector<double> trips;
  for (int i = 0; i < 7; ++i) {
    const auto start = Clock::now();
    DeviceLink::StartRecording();
    trips.push_back(Ms(Clock::now() - start));
  }
  const double roundTrip = Median(trips);
  const double goal = (2 * roundTrip + TForm4::kAfterRecordingMs + TForm4::kPollMs) * 1.05;
  device.ClearLogs();

  TForm4 form;
  TimedOutput timed(CurrentAudioOutput());
  UseAudioOutput(&timed);
  if (CurrentAudioOutput().Open() == false) {
    std::fprintf(stderr, "copyrun: no sound output; start a sound server first\n");
    return 1;
  }
  std::printf("file length %.0f ms, round trip %.0f ms, goal per entry <= %.0f ms\n", seconds * 1000,
              roundTrip, goal);
  std::printf("%4s %10s %16s %14s %12s %12s %12s %8s %10s %10s\n", "n", "wall ms", "wall-audio/n ms",
              "entry median", "entry max", "first entry", "last entry", "RSS MB", "I late ms", "J late ms");
  long rssOfOne = 0;
  for (int n : {1, 5, 20}) {
    QStringList entries;
    for (int i = 0; i < n; ++i) entries << QStringLiteral("speechset\\file%1.wav").arg(i);
    device.ClearLogs();
    timed.starts.clear();
    timed.ends.clear();
    form.SetCopyList(entries);
    const auto start = Clock::now();
    form.show();
    if (!ProcessUntil([&] { return form.BitBtn2->isEnabled() || !form.isVisible(); }, 600000) ||
        !form.BitBtn2->isEnabled()) {
      std::fprintf(stderr, "copyrun: the run of %d did not succeed\n", n);
      return 1;
    }
    const double wall = Ms(Clock::now() - start);
    form.BitBtn2->click();
    ProcessFor(300);

    // Per entry from the device's log: one "I" to the next "I" (the last to "H").
    std::vector<Clock::time_point> marks, starts, stops;
    for (const devsim::LoggedByte& byte : device.Log()) {
      if (byte.value == 'I' || byte.value == 'H') marks.push_back(byte.time);
      if (byte.value == 'I') starts.push_back(byte.time);
      if (byte.value == 'J') stops.push_back(byte.time);
    }
    // The tone is the first stream played; it is stopped while it still plays,
    // so only the words are seen to end.
    double startLate = 0, stopLate = 0;
    for (size_t i = 0; i < starts.size() && i + 1 < timed.starts.size(); ++i)
      startLate = std::max(startLate, Ms(starts[i] - timed.starts[i + 1]));
    for (size_t i = 0; i < stops.size() && i < timed.ends.size(); ++i)
      stopLate = std::max(stopLate, Ms(stops[i] - timed.ends[i]));
    std::vector<double> perEntry;
    for (size_t i = 0; i + 1 < marks.size(); ++i)
      perEntry.push_back(Ms(marks[i + 1] - marks[i]) - seconds * 1000);
    const long rss = StatusKb("VmRSS:");
    if (n == 1) rssOfOne = rss;
    if (perEntry.empty()) perEntry.push_back(0);
    std::printf("%4d %10.0f %16.0f %14.0f %12.0f %12.0f %12.0f %8.1f %10.1f %10.1f\n", n, wall,
                (wall - n * seconds * 1000) / n, Median(perEntry),
                *std::max_element(perEntry.begin(), perEntry.end()), perEntry.front(), perEntry.back(),
                rss / 1024.0, startLate, stopLate);
    std::fflush(stdout);
  }
  std::printf("RSS growth from the run of 1 to the run of 20: %.1f MB (goal <= 5 MB)\n",
              (StatusKb("VmRSS:") - rssOfOne) / 1024.0);
  DeviceLink::CloseDevicePort();
  UseAudioOutput(nullptr);

  return 0;
}

// How long PlayFile takes on a 3-minute MP3 and on a 1-second WAV, and the peak
// memory while each plays. Streaming should make both cheap and alike: the
// goals are at most 20 ms each and at most 5 MB between their peaks.
//
// Then what the output costs while nothing plays (goal: at most 0.3 % of a core
// over 10 s), and how long a sound takes to be heard when PlayFile starts it
// from the idle output, against one started while another stream plays.
//
// Usage: playstart [folder for the generated sounds]   (default: playstart-data beside the program)
// Plays into the default sound output: start a sound server first on a machine
// without one (scripts/soundserver.sh).

#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "speech/audio.h"
#include "ui/messagebox.h"

namespace {
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A signal with some movement in it, so that the encoder has real work.
bool WriteSound(const fs::path& path, int format, int seconds) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 2;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) {
    std::fprintf(stderr, "playstart: cannot write %s: %s\n", path.c_str(), sf_strerror(nullptr));
    return false;
  }
  std::vector<short> block(4410 * 2);
  const double pi = std::acos(-1.0);
  long long n = 0;
  for (int b = 0; b < seconds * 10; ++b) {
    for (int i = 0; i < 4410; ++i, ++n) {
      double t = double(n) / 44100;
      double f = 440 + 220 * std::sin(2 * pi * 0.1 * t);
      double v = 0.3 * std::sin(2 * pi * f * t) + 0.1 * std::sin(2 * pi * 3 * f * t);
      block[2 * i] = short(v * 32767);
      block[2 * i + 1] = short(v * 0.8 * 32767);
    }
    sf_writef_short(file, block.data(), 4410);
  }
  sf_close(file);
  return true;
}

// Made in a child process so that the encoder's memory does not count here.
bool MakeSounds(const fs::path& mp3, const fs::path& wav) {
  if (fs::exists(mp3) && fs::exists(wav)) return true;
  std::printf("generating %s and %s ...\n", mp3.c_str(), wav.c_str());
  std::fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    bool ok = WriteSound(wav, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1) &&
              WriteSound(mp3, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 180);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(field);
  while (std::getline(status, line))
    if (line.compare(0, length, field) == 0) return std::atol(line.c_str() + length + 1);
  return -1;
}

// Lets the peak resident size start again from the present one.
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

struct Figures {
  std::vector<double> startMs;
  long peakKb = 0;
};

Figures Measure(const fs::path& file, int runs, std::chrono::milliseconds playFor) {
  Figures figures;
  ResetPeak();
  for (int run = 0; run < runs; ++run) {
    StreamHandle stream = 0;
    auto start = Clock::now();
    PlayFile(stream, QString::fromStdString(file.string()));
    auto end = Clock::now();
    if (stream == 0) {
      std::fprintf(stderr, "playstart: %s did not play\n", file.c_str());
      std::exit(1);
    }
    figures.startMs.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    std::this_thread::sleep_for(playFor);
    StopPlayback(stream);
  }
  figures.peakKb = StatusKb("VmHWM:");
  return figures;
}

void Report(const char* name, Figures figures) {
  double first = figures.startMs.front();
  std::sort(figures.startMs.begin(), figures.startMs.end());
  std::printf("PlayFile %-22s first %6.2f ms, median %6.2f ms, max %6.2f ms (%zu runs); peak RSS %.1f MB\n",
              name, first, figures.startMs[figures.startMs.size() / 2], figures.startMs.back(),
              figures.startMs.size(), figures.peakKb / 1024.0);
}
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Share of one core this whole process used while sleeping for `seconds`.
double IdleCpuPercent(int seconds) {
  const double before = CpuSeconds();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  return (CpuSeconds() - before) / wall * 100;
}

// Milliseconds from PlayFile until the layer reports the first sound heard.
double HeardAfterMs(const fs::path& file) {
  StreamHandle stream = 0;
  const auto start = Clock::now();
  PlayFile(stream, QString::fromStdString(file.string()));
  while (stream != 0 && StreamPosition(stream) == 0 && Clock::now() - start < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  StopPlayback(stream);
  return ms;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}
}  // namespace

int main(int argc, char** argv) {
  // Beside the program, in the build tree, wherever it is started from.
  const fs::path folder =
      argc > 1 ? fs::path(argv[1]) : fs::read_symlink("/proc/self/exe").parent_path() / "playstart-data";
  fs::create_directories(folder);
  const fs::path mp3 = fs::absolute(folder / "three-minutes.mp3");
  const fs::path wav = fs::absolute(folder / "one-second.wav");
  if (!MakeSounds(mp3, wav)) return 1;

  bool noOutput = false;
  SetMessageHook([&](const QString&, MessageKind) { noOutput = true; });
  InitAudio();
  if (noOutput) {
    std::fprintf(stderr, "playstart: no sound output; start a sound server first\n");
    return 1;
  }

  std::printf("RSS before playing: %.1f MB\n", StatusKb("VmRSS:") / 1024.0);
  Figures short_ = Measure(wav, 5, std::chrono::milliseconds(1100));
  Figures long_ = Measure(mp3, 5, std::chrono::milliseconds(1500));
  Report("1-second WAV:", short_);
  Report("3-minute MP3:", long_);
  std::printf("peak RSS difference (MP3 - WAV): %.2f MB   (goals: <= 20 ms each, <= 5 MB)\n",
              (long_.peakKb - short_.peakKb) / 1024.0);

  // The last stream was stopped above; a moment later the output is idle.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::printf("idle, nothing playing: %.2f %% of a core over 10 s   (goal: <= 0.3 %%)\n", IdleCpuPercent(10));

  std::vector<double> fromIdle;
  std::vector<double> whileOpen;
  for (int run = 0; run < 5; ++run) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    fromIdle.push_back(HeardAfterMs(wav));
  }
  StreamHandle keepsOpen = 0;
  PlayFile(keepsOpen, QString::fromStdString(mp3.string()));
  for (int run = 0; run < 5; ++run) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    whileOpen.push_back(HeardAfterMs(wav));
  }
  std::printf(
      "first sound heard after PlayFile: median %.1f ms from the idle output, %.1f ms while another "
      "stream plays (5 runs each)\n",
      Median(fromIdle), Median(whileOpen));
  std::printf("while a stream plays: %.2f %% of a core over 5 s\n", IdleCpuPercent(5));
  StopPlayback(keepsOpen);
  return 0;
}

// The whole copy, N times, on a machine that may be busy: "Sprachdaten
// kopieren" with the device simulator on a real pty, the sound through the
// default output (the tests' null sink) and the simulator hearing it from the
// sink's monitor, as the end-to-end test runs it. 5 entries of 1 to 2 s tones
// between short pauses.
//
// Per run it prints the end status, the device's bytes against the expected
// ones, each recording's span of sound as the device heard it against the
// file's, and the dropouts found on the monitor (silence of more than 10 ms
// inside a tone while the device records). Then one line of totals.
//
// Usage: copystress [runs = 30] [--load K]
//   --load K   K busy loops and one low-priority compiler loop beside the runs
//
// Needs a sound server with a null sink (scripts/soundserver.sh).

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QLabel>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "bench/linkedport.h"
#include "tests/speech/probewords.h"
#include "devsim/devicesimulator.h"
#include "link/devicelink.h"
#include "serial/serialport.h"
#include "speech/audio.h"
#include "speech/voicecopy.h"
#include "tests/speech/monitorrecorder.h"
#include "tests/speech/soundtestsupport.h"
#include "tests/support/eventwait.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

namespace {

constexpr int kEntries = 5;
constexpr int kPauseMs = 250;
constexpr int kDropoutSamples = MonitorRecorder::kRate / 100;  // 10 ms


std::string LoadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// The machine's load: K busy loops and one compiler, niced, over and over.
// Each child dies with this process.
class Load {
 public:
  Load(int loops, const std::string& folder) {
    if (loops <= 0) return;
    const std::string source = folder + "/load.cpp";
    std::ofstream(source) << "#include <regex>\n#include <map>\n#include <string>\n"
                             "int main(){std::map<std::string,std::regex> m;"
                             "m[\"a\"]=std::regex(\"(a|b)*c\");return m.size();}\n";
    for (int i = 0; i < loops; ++i)
      Spawn([] {
        for (;;) asm volatile("" ::: "memory");
      });
    Spawn([source] {
      if (nice(19) < 0) _exit(1);
      const std::string command = "c++ -O2 -c -o /dev/null " + source;
      for (;;)
        if (std::system(command.c_str()) != 0) sleep(1);
    });
  }
  ~Load() {
    for (pid_t child : children_) kill(child, SIGKILL);
    for (pid_t child : children_) waitpid(child, nullptr, 0);
  }

 private:
  void Spawn(const std::function<void()>& body) {
    const pid_t child = fork();
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      body();
      _exit(0);
    }
    if (child > 0) children_.push_back(child);
  }
  std::vector<pid_t> children_;
};

// Silences longer than 10 ms between the first and the last sound of a window
// of the monitor, each as where it starts after the first sound and how long
// it lasts, in ms.
std::vector<std::pair<double, double>> DropoutsIn(const std::vector<std::int16_t>& samples, std::int64_t from,
                                                  std::int64_t to, int threshold) {
  std::vector<std::pair<double, double>> dropouts;
  to = std::min<std::int64_t>(to, std::int64_t(samples.size()));
  const LoudSpan span = FindLoudSpan(std::vector<std::int16_t>(samples.begin() + std::max<std::int64_t>(from, 0),
                                                                samples.begin() + std::max(from, to)),
                                     0, threshold);
  if (span.first < 0) return dropouts;
  const auto ms = [](std::int64_t count) { return double(count) * 1000 / MonitorRecorder::kRate; };
  std::int64_t quiet = 0;
  for (std::int64_t k = from + span.first; k <= from + span.last + 1; ++k) {
    if (k <= from + span.last && std::abs(samples[size_t(k)]) < threshold) {
      ++quiet;
      continue;
    }
    if (quiet > kDropoutSamples) dropouts.emplace_back(ms(k - quiet - from - span.first), ms(quiet));
    quiet = 0;
  }
  return dropouts;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int runs = 30;
  int loadLoops = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--load") == 0 && i + 1 < argc)
      loadLoops = std::atoi(argv[++i]);
    else
      runs = std::max(1, std::atoi(argv[i]));
  }
  QApplication app(argc, argv);
  if (!SoundServerReachable()) {
    std::fprintf(stderr, "copystress: no sound server; start one first (scripts/soundserver.sh)\n");
    return 1;
  }
  QString message;
  SetMessageHook([&message](const QString& text, MessageKind) { message = text; });

  // The program folder: the calibration tone and five words of 1 to 2 s.
  QTemporaryDir folder;
  devsim::HearingOptions hearing;
  const int threshold = int(hearing.silenceThreshold * 32768.0);
  ProbeWords words;
  if (!folder.isValid() || !MakeProbeWords(folder.path(), kEntries, kPauseMs, threshold, words)) {
    std::fprintf(stderr, "copystress: cannot make the program folder\n");
    return 1;
  }
  const QStringList& entries = words.entries;
  const std::vector<double>& fileSpanMs = words.fileSpanMs;
  OverrideProgramFolder(folder.path() + "/");

  MonitorRecorder monitor;
  if (!monitor.Recording()) {
    std::fprintf(stderr, "copystress: cannot record the sink's monitor\n");
    return 1;
  }
  // Where on the monitor's timeline the device got each "I" and "J".
  std::mutex marksMutex;
  std::vector<std::pair<char, std::int64_t>> marks;
  devsim::Options options;
  options.hearing = hearing;
  options.observer = [&](const std::string& note) {
    if (note.rfind("rx I", 0) == 0 || note.rfind("rx J", 0) == 0) {
      const std::int64_t now = monitor.HeardNow();
      std::lock_guard lock(marksMutex);
      marks.emplace_back(note[3], now);
    }
  };
  devsim::DeviceSimulator device(options);
  LinkedPort linked;
  // Sends the component refused: a command that would vanish without a trace.
  int refused = 0;
  linked.port.OnProcessError = [&refused](TSerialPort*, uint32_t place, uint32_t, const std::string&, uint8_t) {
    if (place == 901) ++refused;
  };
  DeviceLink::OpenDevicePort(QString::fromStdString(device.PortPath()));
  ProcessUntil([&] { return linked.port.WorkerBusy(); }, 2000);

  TForm4 form;
  if (!CurrentAudioOutput().Open()) {
    std::fprintf(stderr, "copystress: no sound output\n");
    return 1;
  }
  Load load(loadLoops, folder.path().toStdString());
  if (loadLoops > 0)
    std::printf("%d runs beside %d busy loops and a compiler; load average at start %s\n", runs, loadLoops,
                LoadAverage().c_str());
  else
    std::printf("%d runs, no load of its own; load average at start %s\n", runs, LoadAverage().c_str());
  std::fflush(stdout);

  int successes = 0, dropoutsTotal = 0;
  size_t lostOrExtra = 0;
  double worstSpanError = 0;
  for (int run = 1; run <= runs; ++run) {
    device.ClearLogs();
    {
      std::lock_guard lock(marksMutex);
      marks.clear();
    }
    message.clear();
    const size_t heardBefore = device.HeardRecordings().size();
    const int refusedBefore = refused;
    form.SetCopyList(entries);
    form.show();
    const bool ended = ProcessUntil([&] { return form.BitBtn2->isEnabled() || !form.isVisible(); }, 180000);
    const bool success = ended && form.BitBtn2->isEnabled();
    const std::uint32_t trialVolume = TrialVolume;
    if (success) form.BitBtn2->click();
    if (form.isVisible()) form.BitBtn1->click();

    // What the device should have received on the way the run took.
    const int readings = int(std::min<std::uint32_t>(trialVolume / 4096, 16));
    std::string expected(1, '*');
    expected.append(size_t(readings), 'B');
    if (success) {
      expected += "G";
      for (int i = 0; i < kEntries; ++i) expected += "IJ";
      expected += "HK{{";
    }
    device.WaitForReceived(expected.size(), std::chrono::seconds(5));
    device.WaitForIdle(std::chrono::seconds(5));
    const std::string received = device.Received();
    Difference difference = success ? Compare(expected, received) : Difference{};
    difference.lost += size_t(refused - refusedBefore);
    lostOrExtra += difference.lost + difference.extra;

    // The recordings as the device heard them, against the files.
    const size_t recordings = success ? kEntries : 0;
    device.WaitForHeardRecordings(heardBefore + recordings, std::chrono::seconds(10));
    const std::vector<devsim::HeardRecording> heard = device.HeardRecordings();
    std::string spans;
    for (size_t i = heardBefore; i < heard.size(); ++i) {
      const size_t entry = i - heardBefore;
      const double span = heard[i].soundHeard ? double(heard[i].span.count()) : 0;
      if (entry < fileSpanMs.size()) {
        worstSpanError = std::max(worstSpanError, std::abs(span - fileSpanMs[entry]));
        spans += ' ';
        spans += std::to_string(int(span)) + "/" + std::to_string(int(fileSpanMs[entry]));
      }
    }

    // Dropouts: silence inside a tone while the device recorded it.
    std::vector<std::pair<char, std::int64_t>> runMarks;
    {
      std::lock_guard lock(marksMutex);
      runMarks = marks;
    }
    int dropouts = 0;
    std::string where;
    if (!runMarks.empty()) monitor.WaitForSamples(runMarks.back().second + MonitorRecorder::kRate / 5);
    const std::vector<std::int16_t> samples = monitor.Samples();
    for (size_t i = 0, entry = 0; i + 1 < runMarks.size(); ++i) {
      if (runMarks[i].first != 'I' || runMarks[i + 1].first != 'J') continue;
      ++entry;
      for (const auto& [at, length] : DropoutsIn(samples, runMarks[i].second, runMarks[i + 1].second, threshold)) {
        ++dropouts;
        char text[80];
        std::snprintf(text, sizeof text, " (entry %zu: %.1f ms at %.1f ms)", entry, length, at);
        where += text;
      }
    }
    dropoutsTotal += dropouts;
    if (success) ++successes;

    std::printf("run %2d: %s; bytes %s against %s (%zu lost, %zu extra); spans heard/file ms:%s; "
                "dropouts %d%s; load %s\n",
                run,
                success ? "Übertragung erfolgreich"
                        : (message.isEmpty() ? "no end" : qPrintable(message)),
                devsim::Printable(received).c_str(), success ? devsim::Printable(expected).c_str() : "-",
                difference.lost, difference.extra, spans.empty() ? " -" : spans.c_str(), dropouts,
                where.c_str(), LoadAverage().c_str());
    std::fflush(stdout);
    ProcessFor(300);
  }
  DeviceLink::CloseDevicePort();
  std::printf("%d of %d runs successful, %zu lost or extra commands, %d dropouts, worst span error %.0f ms\n",
              successes, runs, lostOrExtra, dropoutsTotal, worstSpanError);
  return 0;
}

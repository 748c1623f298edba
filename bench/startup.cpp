// Start-up to an open port, and where its time goes.
//
// 1. The installed way: the program `vellamo` of the program folder, started
//    beside `vellamo-devsim` announced in a private runtime folder, on Qt's
//    offscreen platform; the time from the start until the program holds the
//    simulator's pty (read from /proc/<pid>/fd, looked at every millisecond).
//    Afterwards the program's whole processor use while it sits idle with the
//    port open.
// 2. The stages, in a fresh process each run: the program entry's steps as
//    main() takes them (the windows made by CreateForms, shown, the event loop's
//    first paint, the start-up timer, the port listing, the open port).
// Medians over the runs. The machine's load counts: compare figures taken
// under the same conditions, one right after the other.
//   startup [runs=9] [idle seconds=5] [program folder, for part 1; default: this build's]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/comportselect.h"
#include "app/forms.h"
#include "app/mainprog.h"
#include "app/qttranslations.h"
#include "bench/benchsupport.h"
#include "serial/portenum.h"
#include "serial/serialport.h"
#include "ui/messagebox.h"
#include "ui/programfolder.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

pid_t Spawn(const std::vector<std::string>& args, const std::string& runtime, const std::string& out) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  freopen(out.c_str(), "w", stdout);
  freopen("/dev/null", "w", stderr);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(argv[0], argv.data());
  _exit(127);
}

bool Holds(pid_t pid, const std::string& path) {
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code ignored;
    if (fs::read_symlink(fd.path(), ignored) == path) return true;
  }
  return false;
}

// The processor time of all threads of a process so far, in milliseconds, from
// the scheduler's nanosecond counts (an idle program uses less than a clock tick).
double ProcessCpuMs(pid_t pid) {
  double ns = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    double taskNs = 0;
    std::ifstream(task.path() / "schedstat") >> taskNs;
    ns += taskNs;
  }
  return ns / 1e6;
}

void Stop(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// Part 1: one start of the real program; -1 when it never held the port.
double TimeToOpenPort(const std::string& folder, const std::string& runtime, int idleSeconds, double* idlePercent) {
  const pid_t sim = Spawn({folder + "vellamo-devsim", "--name", "vellamo-startup"}, runtime, runtime + "/sim.out");
  const std::string link = runtime + "/vellamo-ports/vellamo-startup";
  for (int i = 0; i < 5000 && !fs::is_symlink(link); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::error_code ec;
  const std::string pty = fs::read_symlink(link, ec);
  double ms = -1;
  if (!pty.empty()) {
    const auto start = Clock::now();
    const pid_t app = Spawn({folder + "vellamo"}, runtime, runtime + "/app.out");
    while (Ms(Clock::now() - start) < 20000) {
      if (Holds(app, pty)) {
        ms = Ms(Clock::now() - start);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (idlePercent && ms >= 0) {
      std::this_thread::sleep_for(std::chrono::seconds(1));  // past the start's own work
      const double before = ProcessCpuMs(app);
      const auto idleStart = Clock::now();
      std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
      *idlePercent = 100.0 * (ProcessCpuMs(app) - before) / Ms(Clock::now() - idleStart);
    }
    Stop(app);
  }
  Stop(sim);
  return ms;
}

// Part 2, in a child: main()'s steps with a mark after each; prints "stage ms" lines.
int Stages(int argc, char** argv, const std::string& port, const std::string& folder) {
  const auto start = Clock::now();
  std::vector<std::pair<std::string, double>> marks;
  auto mark = [&](const char* stage) { marks.emplace_back(stage, Ms(Clock::now() - start)); };
  // A box (no sound output here, say) would wait for a click; it is counted, not shown.
  int boxes = 0;
  SetMessageHook([&](const QString&, MessageKind) { ++boxes; });
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vellamo"));
  OverrideProgramFolder(QString::fromStdString(folder));  // the pictures, as the program finds them
  mark("QApplication");
  InstallGermanQtTranslations(application);
  mark("Qt's German translation");
  CreateForms();
  mark("CreateForms (all windows)");
  // The start-up connection lists only the simulator, as the program would
  // find it last in a sorted list.
  Form2->ListPorts = [&](std::vector<PortInfo>& list) {
    mark("start-up timer fired");
    PortInfo simulator;
    simulator.Path = port;
    simulator.Type = PortInfo::Kind::Virtual;
    list.push_back(simulator);
    QTimer::singleShot(0, [&] {
      mark(Form1->SerialPort1->Active() ? "port open" : "port NOT open");
      QApplication::quit();
    });
  };
  struct FirstPaint : QObject {
    std::function<void()> seen;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint && seen) {
        seen();
        seen = nullptr;
      }
      return false;
    }
  } firstPaint;
  firstPaint.seen = [&] { mark("first paint of the main window"); };
  Form1->installEventFilter(&firstPaint);
  Form1->show();
  mark("main window shown");
  QApplication::exec();
  Form1->removeEventFilter(&firstPaint);
  DestroyForms();
  for (const auto& [stage, ms] : marks) std::printf("%s\t%.2f\n", stage.c_str(), ms);
  std::printf("message boxes (not shown)\t%d\n", boxes);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::string(argv[1]) == "--stages") return Stages(argc, argv, argv[2], argv[3]);
  const int runs = argc > 1 ? std::atoi(argv[1]) : 9;
  const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string self = fs::read_symlink("/proc/self/exe");
  const std::string folder =
      argc > 3 ? std::string(argv[3]) + "/" : std::string(fs::path(self).parent_path().parent_path() / "program/");

  char pattern[] = "/tmp/vellamo-startup-XXXXXX";
  const std::string runtime = mkdtemp(pattern);

  std::vector<double> open;
  double idle = -1;
  for (int i = 0; i < runs; ++i) {
    const double ms = TimeToOpenPort(folder, runtime, idleSeconds, i == runs - 1 ? &idle : nullptr);
    if (ms >= 0) open.push_back(ms);
  }
  std::printf("vellamo beside vellamo-devsim, %d runs (%zu held the port): start to open port median %.1f ms, "
              "min %.1f, max %.1f (goal: median <= 80 ms)\n",
              runs, open.size(), Percentile(open, 0.5), Percentile(open, 0), Percentile(open, 1));
  std::printf("whole program idle with the port open: %.2f %% of one core over %d s (goal <= 1 %%)\n", idle,
              idleSeconds);

  // The stages, each run in a process of its own beside one simulator.
  const pid_t sim = Spawn({folder + "vellamo-devsim", "--name", "vellamo-startup"}, runtime, runtime + "/sim.out");
  const std::string link = runtime + "/vellamo-ports/vellamo-startup";
  for (int i = 0; i < 5000 && !fs::is_symlink(link); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::map<std::string, std::vector<double>> stages;
  std::vector<std::string> order;
  for (int i = 0; i < runs; ++i) {
    const std::string out = runtime + "/stages.out";
    const pid_t child = Spawn({self, "--stages", link, folder}, runtime, out);
    waitpid(child, nullptr, 0);
    std::ifstream in(out);
    std::string line;
    while (std::getline(in, line)) {
      const size_t tab = line.find('\t');
      if (tab == std::string::npos) continue;
      const std::string stage = line.substr(0, tab);
      if (!stages.count(stage)) order.push_back(stage);
      stages[stage].push_back(std::stod(line.substr(tab + 1)));
    }
  }
  Stop(sim);
  std::printf("stages from the start of main, median of %d runs (ms since main):\n", runs);
  for (const std::string& stage : order) std::printf("  %8.1f  %s\n", Percentile(stages[stage], 0.5), stage.c_str());
  fs::remove_all(runtime);
  return open.empty() ? 1 : 0;
}

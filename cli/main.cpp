// vellamo-cli: the service jobs of the window for scripts — the port list, the
// readings, the test actions, the copy of speech data and the firmware
// hand-over. See vellamo-cli(1).
//
// Every command checks its arguments and input files before it touches a
// device, names the port it used, and ends within a second when the device is
// unplugged or a signal asks it to, leaving the clock and the sound card as the
// window would.

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "cli/copyinputs.h"
#include "cli/copyrun.h"
#include "cli/devicesession.h"
#include "cli/ending.h"
#include "cli/firmwarerun.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/standarddescriptors.h"
#include "link/clocklink.h"
#include "link/devicelink.h"
#include "serial/portfailure.h"
#include "speech/soundoutputlock.h"
#include "tools/firmwareimage.h"
#include "ui/programfolder.h"
#include "ui/quitsignals.h"

namespace {

const QString kNoAnswerText = QStringLiteral("Keine Antwort vom Gerät.");

QJsonObject Done(const QString& command, const QString& text) {
  return {{QStringLiteral("command"), command}, {QStringLiteral("ok"), true}, {QStringLiteral("text"), text}};
}

// The window's text goes on about reconnecting; the command ends instead.
QString GoneText(const QString& port) {
  return QStringLiteral("Das Gerät an %1 wurde abgezogen oder ausgeschaltet.").arg(port);
}

QString SignalName(int signal) {
  switch (signal) {
    case SIGINT:
      return QStringLiteral("SIGINT");
    case SIGTERM:
      return QStringLiteral("SIGTERM");
    case SIGHUP:
      return QStringLiteral("SIGHUP");
    case SIGPIPE:
      return QStringLiteral("SIGPIPE");
  }
  return QStringLiteral("Signal %1").arg(signal);
}

bool StdoutIsPipe() {
  struct stat info {};
  return fstat(STDOUT_FILENO, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

// The reader of the pipe (or the peer of a socket) has gone: a write would fail with EPIPE.
bool StdoutClosed() {
  pollfd out{STDOUT_FILENO, 0, 0};
  return poll(&out, 1, 0) > 0 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

// One command run on one port: the ending's sources wired, the end named.
class CommandRun {
 public:
  CommandRun(const Options& options, Report& report) : options_(options), report_(report) {
    command_ = options.words[0];
    report_.SetCommand(command_);
    // Named from the start: a failure before the port is opened says which
    // station's run it was.
    if (options.portGiven) report_.SetPort(options.port);
    CatchQuitSignals([this](int signal) { EndFor(signal); });
    report_.OnWriteFailed = [this](int error) {
      if (error == EPIPE) {
        EndFor(SIGPIPE);
      } else if (!ending_.Requested()) {
        ending_.writeError = error;
        Abandon();
      }
    };
    // A reader that has gone is noticed between writes too: a copy prints
    // only at its end, and should not run on for minutes into a closed pipe.
    if (StdoutIsPipe()) {
      QObject::connect(&closedOutputWatch_, &QTimer::timeout, [this] {
        if (StdoutClosed()) EndFor(SIGPIPE);
      });
      closedOutputWatch_.start(250);
    }
  }

  int Run();
  // The signal that ended the run; 0 when none did.
  int EndingSignal() const { return ending_.signal; }

 private:
  void EndFor(int signal) {
    if (ending_.Requested()) return;
    ending_.signal = signal;
    Abandon();
  }
  void DeviceGone() {
    if (ending_.Requested()) return;
    ending_.deviceGone = true;
    Abandon();
  }
  // Queries that wait give up at once; a copy ends as "Abbrechen" ends it,
  // before its waiting query returns and the sequence takes the -1 for a
  // failure of its own. From inside the port's report this only sends, which
  // does not wait for the port's worker.
  void Abandon() {
    DeviceLink::AbandonWaits();
    if (onEnd_) onEnd_();
  }
  // Names the ending and returns its exit code; `extra` and `more` add to a
  // signal's report.
  int Ended(const QJsonObject& extra = {}, const QString& more = {});
  void StopCopy(CopyRun& run);

  // -1 when a port is chosen, else the exit code.
  int ChoosePort();
  // Names why the port did not open; returns the exit code.
  // A reading that failed: the clock's answer when it gave one, else none.
  // Returns the exit code.
  int ReadingFailed(const std::string& answer, const QString& time);
  int Ports();
  int ReadLevels();
  int Watch();
  int Rtc();
  int Segment(int segment);
  int DimStore();
  // -1 when the copy's inputs and the sound output are there, else the exit code.
  int CheckCopy();
  // A copy into every clock named by --port at once.
  int StationCopy();
  // A copy holds the sound output for its whole run, named after its ports.
  // -1 when `lock` holds it, else the exit code.
  int ClaimSound(const QString& ports, std::optional<ProcessLock>& lock) {
    SoundOutputClaim claim = ClaimSoundOutput(ports);
    if (!claim.lock) {
      report_.Failure(command_, "sound-busy", SoundOutputBusyText(claim.heldBy),
                      {{QStringLiteral("heldBy"), claim.heldBy}});
      return kExitSoundBusy;
    }
    lock = std::move(claim.lock);
    return -1;
  }
  // Service mode around `action`, as the test dialog holds it while shown.
  void InServiceMode(const std::function<void()>& action) {
    DeviceLink::EnterServiceMode();
    action();
    DeviceLink::LeaveServiceMode();
  }
  void UntilEnding() {
    while (!ending_.Requested())
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }

  const Options& options_;
  Report& report_;
  QString command_;
  QString port_;
  Ending ending_;
  std::function<void()> onEnd_;
  QStringList copyEntries_;
  QTimer closedOutputWatch_;
};

int CommandRun::Ended(const QJsonObject& extra, const QString& more) {
  if (ending_.deviceGone) {
    report_.Failure(command_, "device-gone", GoneText(port_));
    return kExitNoDevice;
  }
  if (ending_.writeError != 0) {
    std::fprintf(stderr, "vellamo-cli: Die Ausgabe konnte nicht geschrieben werden: %s\n",
                 std::strerror(ending_.writeError));
    return kExitRefused;
  }
  const QString name = SignalName(ending_.signal);
  QJsonObject members = extra;
  members.insert(QStringLiteral("signal"), name);
  report_.Failure(command_, "interrupted", QStringLiteral("Durch %1 beendet.").arg(name) + more, members);
  return ExitForSignal(ending_.signal);
}

// Never a guess: the named port, or the only one present.
int CommandRun::ChoosePort() {
  if (options_.portGiven) {
    port_ = options_.port;
    return -1;
  }
  const QStringList ports = SortedPorts();
  if (ports.size() == 1) {
    port_ = ports.first();
    return -1;
  }
  if (ports.isEmpty()) {
    report_.Failure(command_, "no-device", QStringLiteral("Keine serielle Schnittstelle gefunden."));
    return kExitNoDevice;
  }
  report_.Failure(command_, "ambiguous-port",
                  QStringLiteral("Mehrere Schnittstellen gefunden; bitte eine mit --port wählen: %1")
                      .arg(ports.join(QStringLiteral(", "))),
                  {{QStringLiteral("ports"), QJsonArray::fromStringList(ports)}});
  return kExitBadArguments;
}

// Busy, refused and missing call for different hands on a production line:
// close the other program, fix the rights, plug the clock in.
// An answer that is no reading ("-", text) is the clock's, not a silent line's.
int CommandRun::ReadingFailed(const std::string& answer, const QString& time) {
  const QString prefix = time.isEmpty() ? QString() : time + QLatin1Char(' ');
  QJsonObject extra;
  if (!time.isEmpty()) extra.insert(QStringLiteral("time"), time);
  if (answer.empty()) {
    report_.Failure(command_, "no-answer", prefix + kNoAnswerText, extra);
    return kExitNoDevice;
  }
  const QString said = QString::fromStdString(answer);
  extra.insert(QStringLiteral("answer"), said);
  report_.Failure(command_, "unexpected-answer",
                  prefix + QStringLiteral("Das Gerät antwortete \"%1\" statt eines Messwerts.").arg(said),
                  extra);
  return kExitUnexpectedAnswer;
}

int CommandRun::Ports() {
  const QStringList ports = SortedPorts();
  // What the port dialog says of each port, for telling the clock's adapter apart.
  QJsonArray details;
  for (const PortInfo& info : SortedPortInfos())
    details.append(QJsonObject{{QStringLiteral("port"), QString::fromStdString(info.Path)},
                               {QStringLiteral("description"), QString::fromStdString(info.Description)},
                               {QStringLiteral("serial"), QString::fromStdString(info.Serial)},
                               {QStringLiteral("byId"), QString::fromStdString(info.ById)}});
  QJsonObject result{{QStringLiteral("command"), command_},
                     {QStringLiteral("ok"), true},
                     {QStringLiteral("ports"), QJsonArray::fromStringList(ports)},
                     {QStringLiteral("details"), details},
                     {QStringLiteral("default"), DefaultPort()}};
  // In text form one port a line, and nothing at all when there is none.
  if (options_.json || !ports.isEmpty()) {
    result.insert(QStringLiteral("text"), ports.join(QLatin1Char('\n')));
    report_.Result(result);
  }
  return report_.WriteError() == 0 ? kExitOk : Ended();
}

QJsonObject Reading(const QString& command, int32_t light, int32_t audio, const QString& time) {
  QJsonObject reading{
      {QStringLiteral("command"), command},
      {QStringLiteral("ok"), true},
      {QStringLiteral("light"), light},
      {QStringLiteral("audio"), audio},
      {QStringLiteral("text"), QStringLiteral("Helligkeit %1, Audiopegel %2").arg(light).arg(audio)}};
  if (!time.isEmpty()) {
    reading.insert(QStringLiteral("time"), time);
    reading.insert(QStringLiteral("text"),
                   time + QLatin1Char(' ') + reading.value(QStringLiteral("text")).toString());
  }
  return reading;
}

// Both levels, and the answer that was no level when one failed.
struct Levels {
  int32_t light = -1;
  int32_t audio = -1;
  std::string failedAnswer;
  bool Read() const { return light >= 0 && audio >= 0; }
};

Levels ReadBothLevels() {
  Levels levels;
  levels.light = DeviceLink::ReadLightLevel();
  if (levels.light < 0) {
    levels.failedAnswer = DeviceLink::AnswerText;
    return levels;
  }
  levels.audio = DeviceLink::ReadAudioLevel();
  if (levels.audio < 0) levels.failedAnswer = DeviceLink::AnswerText;
  return levels;
}

int CommandRun::ReadLevels() {
  Levels levels;
  InServiceMode([&] { levels = ReadBothLevels(); });
  if (ending_.Requested()) return Ended();
  if (!levels.Read()) return ReadingFailed(levels.failedAnswer, QString());
  const int32_t light = levels.light;
  const int32_t audio = levels.audio;
  report_.Result(Reading(command_, light, audio, QString()));
  return kExitOk;
}

// A reading starts every interval, whatever the last one took; one that took
// longer than the interval is followed at once.
int CommandRun::Watch() {
  DeviceLink::EnterServiceMode();
  QElapsedTimer clock;
  clock.start();
  qint64 nextStart = 0;
  while (!ending_.Requested()) {
    const QString time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    const Levels levels = ReadBothLevels();
    if (ending_.Requested()) break;
    if (levels.Read()) {
      report_.Result(Reading(command_, levels.light, levels.audio, time));
    } else {
      ReadingFailed(levels.failedAnswer, time);
    }
    nextStart = std::max(nextStart + options_.intervalMs, clock.elapsed());
    QTimer pause;
    pause.setSingleShot(true);
    pause.setTimerType(Qt::PreciseTimer);
    pause.start(static_cast<int>(nextStart - clock.elapsed()));
    while (pause.isActive() && !ending_.Requested())
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  DeviceLink::LeaveServiceMode();
  // Failed readings were told as they came; the end is the signal's, so that
  // a script interrupted in the middle of a watch stops too.
  return Ended();
}

int CommandRun::Rtc() {
  if (options_.words[1] == QLatin1String("off")) {
    InServiceMode([] { DeviceLink::StopRtcTest(); });
    report_.Result(Done(command_, QStringLiteral("RTC Test aus.")));
    return ending_.Requested() ? Ended() : kExitOk;
  }
  // As the test dialog: the output runs until the end, which switches it off
  // before service mode is left.
  DeviceLink::EnterServiceMode();
  DeviceLink::StartRtcTest();
  report_.Result(Done(command_, QStringLiteral("RTC Test an, bis Strg+C.")));
  UntilEnding();
  DeviceLink::StopRtcTest();
  DeviceLink::LeaveServiceMode();
  return Ended();
}

int CommandRun::Segment(int segment) {
  InServiceMode([&] { DeviceLink::PlaySegment(static_cast<uint8_t>(segment)); });
  if (ending_.Requested()) return Ended();
  QJsonObject result = Done(command_, QStringLiteral("Segment %1 gespielt.").arg(segment));
  result.insert(QStringLiteral("segment"), segment);
  report_.Result(result);
  return kExitOk;
}

int CommandRun::DimStore() {
  InServiceMode([] { DeviceLink::StoreDimThreshold(); });
  if (ending_.Requested()) return Ended();
  report_.Result(Done(command_, QStringLiteral("Helligkeit gesetzt.")));
  return kExitOk;
}

void CommandRun::StopCopy(CopyRun& run) {
  if (ending_.deviceGone) {
    run.Stop(kExitNoDevice, "device-gone", GoneText(port_), {}, true);
  } else if (ending_.writeError != 0) {
    run.Stop(kExitRefused, "interrupted", QStringLiteral("Die Ausgabe konnte nicht geschrieben werden."), {},
             false);
  } else {
    const QString name = SignalName(ending_.signal);
    run.Stop(ExitForSignal(ending_.signal), "interrupted",
             QStringLiteral("Die Übertragung wurde unterbrochen (%1).").arg(name),
             {{QStringLiteral("signal"), name}}, false);
  }
}

int CommandRun::CheckCopy() {
  const CopyInputs inputs = CheckCopyInputs(options_.words[1], options_.words.mid(2), ProgramFolder());
  if (inputs.error) {
    QJsonObject extra;
    if (!inputs.unplayable.isEmpty())
      extra.insert(QStringLiteral("unplayable"), QJsonArray::fromStringList(inputs.unplayable));
    report_.Failure(command_, inputs.error, inputs.message, extra);
    return kExitBadArguments;
  }
  if (!SoundOutputReachable()) {
    report_.Failure(command_, "no-audio-output",
                    QStringLiteral("Audioausgabe nicht gefunden: kein Sound-Server erreichbar."));
    return kExitNoDevice;
  }
  copyEntries_ = inputs.entries;
  return -1;
}

int CommandRun::Run() {
  if (command_ == QLatin1String("ports")) return Ports();
  if (command_ == QLatin1String("firmware")) {
    if (const std::optional<ImageRefusal> refusal = RefuseFirmwareImage(options_.words[1])) {
      QJsonObject extra;
      if (refusal->line > 0) {
        extra.insert(QStringLiteral("line"), static_cast<qint64>(refusal->line));
        extra.insert(QStringLiteral("reason"), refusal->reason);
      }
      report_.Failure(command_, refusal->error, refusal->message, extra);
      return kExitBadArguments;
    }
  }
  if (command_ == QLatin1String("copy")) {
    if (const int code = CheckCopy(); code >= 0) return code;
    if (options_.ports.size() > 1) return StationCopy();
  }
  if (const int code = ChoosePort(); code >= 0) return code;
  report_.SetPort(port_);
  if (command_ == QLatin1String("firmware")) {
    int code =
        RunFirmware(options_.words[1], port_, report_, ending_,
                    [this](const QJsonObject& extra, const QString& more) { return Ended(extra, more); });
    // A result that could not be written is no success.
    if (code == kExitOk && report_.WriteError() != 0) code = Ended();
    return code;
  }

  // The sound output is taken before the port is opened: a copy refused
  // for it has sent its clock nothing.
  std::optional<ProcessLock> soundOutput;
  if (command_ == QLatin1String("copy")) {
    if (const int code = ClaimSound(port_, soundOutput); code >= 0) return code;
  }
  if (ending_.Requested()) return Ended();
  DeviceSession session;
  session.OnGone = [this] { DeviceGone(); };
  if (!session.Open(port_)) return ReportOpenFailure(command_, session, report_);
  report_.Progress(DeviceLink::ConnectionText);
  int code = kExitOk;
  if (command_ == QLatin1String("status")) {
    code = ReadLevels();
  } else if (command_ == QLatin1String("watch")) {
    code = Watch();
  } else if (command_ == QLatin1String("dim-store")) {
    code = DimStore();
  } else if (command_ == QLatin1String("rtc")) {
    code = Rtc();
  } else if (command_ == QLatin1String("segment")) {
    code = Segment(options_.segment);
  } else if (command_ == QLatin1String("beep")) {
    // The test dialog's "Audio Test" with its spin field as it opens: segment 0.
    code = Segment(0);
  } else if (command_ == QLatin1String("copy")) {
    CopyRun run(report_, copyEntries_, ProgramFolder());
    onEnd_ = [this, &run] { StopCopy(run); };
    code = run.Run();
    onEnd_ = nullptr;
  }
  if (!ending_.deviceGone) session.Finish();
  // A result that could not be written is no success.
  if (code == kExitOk && report_.WriteError() != 0) code = Ended();
  return code;
}

// The first clock is on the windows' channel, each further one on its own.
// A clock whose port does not open is reported as such, and the others are
// copied into all the same; an unplugged clock leaves the run alone.
int CommandRun::StationCopy() {
  const QStringList& ports = options_.ports;
  // No one port names the run: each clock's object names its own.
  report_.SetPort(QString());
  std::optional<ProcessLock> soundOutput;
  if (const int code = ClaimSound(ports.join(QStringLiteral(", ")), soundOutput); code >= 0) return code;
  if (ending_.Requested()) return Ended();
  // In this order: a session's last report, as its port closes, finds the
  // channel and the pointer to the run still there.
  std::vector<std::unique_ptr<ClockLink>> ownLinks;
  CopyRun* running = nullptr;
  std::vector<std::unique_ptr<DeviceSession>> sessions;
  std::vector<StationClock> station;
  for (qsizetype i = 0; i < ports.size(); ++i) {
    ClockLink* link = &DeviceLink::Default();
    if (i > 0) {
      ownLinks.push_back(std::make_unique<ClockLink>());
      link = ownLinks.back().get();
    }
    sessions.push_back(std::make_unique<DeviceSession>(*link));
    DeviceSession& session = *sessions.back();
    const size_t index = static_cast<size_t>(i);
    session.OnGone = [&running, index] {
      if (running) running->ClockGone(index);
    };
    StationClock clock{ports[i], link};
    if (!session.Open(ports[i])) {
      const OpenFailure failure = OpenFailureOf(session);
      clock.link = nullptr;
      clock.openError = failure.error;
      clock.openMessage = session.FailureText();
      clock.openExit = failure.code;
    } else {
      report_.Progress(link->ConnectionText());
    }
    station.push_back(clock);
  }
  CopyRun run(report_, copyEntries_, ProgramFolder(), station);
  running = &run;
  onEnd_ = [this, &run] { StopCopy(run); };
  int code = run.Run();
  onEnd_ = nullptr;
  running = nullptr;
  for (size_t i = 0; i < sessions.size(); ++i)
    if (station[i].link && station[i].link->Port() && station[i].link->Port()->Active()) sessions[i]->Finish();
  if (code == kExitOk && report_.WriteError() != 0) code = Ended();
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  OpenClosedStandardDescriptors();
  QCoreApplication application(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("vellamo-cli"));
  QCoreApplication::setApplicationVersion(QStringLiteral(VELLAMO_VERSION));
  const QStringList arguments = QCoreApplication::arguments().mid(1);
  const ParsedCommandLine parsed = ParseCommandLine(arguments);
  if (const InfoRequest* info = std::get_if<InfoRequest>(&parsed)) {
    const QString text = *info == InfoRequest::Help
                             ? UsageText()
                             : QStringLiteral("vellamo-cli %1\n").arg(QStringLiteral(VELLAMO_VERSION));
    const bool written = std::fputs(text.toUtf8().constData(), stdout) >= 0 && std::fflush(stdout) == 0;
    return written ? kExitOk : kExitRefused;
  }
  Report report(WantsJson(arguments));
  if (const ArgumentError* error = std::get_if<ArgumentError>(&parsed)) {
    report.SetPort(error->port);
    report.Failure(error->command, "bad-arguments", error->message,
                   {{QStringLiteral("argument"), error->argument}});
    if (!WantsJson(arguments))
      std::fputs("Aufruf: vellamo-cli [--port NAME] [--json] BEFEHL; mehr mit --help.\n", stderr);
    return kExitBadArguments;
  }
  CommandRun run(std::get<Options>(parsed), report);
  const int code = run.Run();
  // Everything is cleaned up by now: the clock out of service mode, the
  // volume back, the port closed. A flashing tool that still writes is the
  // one outcome a script must see above the signal: its own code says not to
  // unplug the clock; so is a volume the copy could not put back, which the
  // user must set by hand.
  if (run.EndingSignal() != 0 && code != kExitStillWriting && code != kExitVolumeNotRestored) {
    std::fflush(stdout);
    std::fflush(stderr);
    EndBySignal(run.EndingSignal());
  }
  return code;
}

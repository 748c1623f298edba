// vellamo-cli: the service jobs of the window for scripts — the port list, the
// readings, the test actions, the copy of speech data and the firmware
// hand-over. See vellamo-cli(1).

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <cstdio>
#include <functional>
#include <optional>

#include "cli/copyrun.h"
#include "cli/devicesession.h"
#include "cli/report.h"
#include "link/devicelink.h"
#include "speech/speechset.h"
#include "tools/firmwarehandover.h"
#include "ui/programfolder.h"
#include "ui/quitsignals.h"

namespace {

const char* const kUsage =
    "Aufruf: vellamo-cli [--port NAME] [--json] BEFEHL\n"
    "  ports | status | watch [--interval MS] | dim-store | rtc on|off | segment N | beep\n"
    "  copy SET.ini [ALARM...] | firmware IMAGE.hex\n";

struct Options {
  QString port;
  bool json = false;
  int intervalMs = 250;
  QStringList words;  // the command and its arguments
};

std::optional<Options> Parse(const QStringList& arguments) {
  Options options;
  for (int i = 1; i < arguments.size(); ++i) {
    const QString& word = arguments[i];
    if (word == QLatin1String("--json")) {
      options.json = true;
    } else if (word == QLatin1String("--port") && i + 1 < arguments.size()) {
      options.port = arguments[++i];
    } else if (word == QLatin1String("--interval") && i + 1 < arguments.size()) {
      bool number = false;
      options.intervalMs = arguments[++i].toInt(&number);
      if (!number || options.intervalMs < 0) return std::nullopt;
    } else if (word.startsWith(QLatin1String("--"))) {
      return std::nullopt;
    } else {
      options.words << word;
    }
  }
  if (options.words.isEmpty()) return std::nullopt;
  return options;
}

QJsonObject Reading(const QString& command, int32_t light, int32_t audio) {
  return {{QStringLiteral("command"), command},
          {QStringLiteral("ok"), true},
          {QStringLiteral("light"), light},
          {QStringLiteral("audio"), audio},
          {QStringLiteral("text"), QStringLiteral("Helligkeit %1, Audiopegel %2").arg(light).arg(audio)}};
}

QJsonObject Done(const QString& command, const QString& text) {
  return {{QStringLiteral("command"), command}, {QStringLiteral("ok"), true}, {QStringLiteral("text"), text}};
}

// The test dialog holds the device in service mode while it is shown; each
// action here is wrapped the same way.
void InServiceMode(const std::function<void()>& action) {
  DeviceLink::EnterServiceMode();
  action();
  DeviceLink::LeaveServiceMode();
}

// Waits, serving events, until SIGINT or SIGTERM.
void UntilInterrupted(bool& interrupted) {
  while (!interrupted) QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

int ReadLevels(const QString& command, Report& report) {
  int32_t light = -1;
  int32_t audio = -1;
  InServiceMode([&] {
    light = DeviceLink::ReadLightLevel();
    audio = DeviceLink::ReadAudioLevel();
  });
  if (light < 0 || audio < 0) {
    report.Failure(command, "no-answer", QStringLiteral("Keine Antwort vom Gerät."));
    return kExitNoDevice;
  }
  report.Result(Reading(command, light, audio));
  return kExitOk;
}

int Watch(const Options& options, Report& report, bool& interrupted) {
  DeviceLink::EnterServiceMode();
  while (!interrupted) {
    const int32_t light = DeviceLink::ReadLightLevel();
    const int32_t audio = DeviceLink::ReadAudioLevel();
    if (interrupted) break;
    if (light >= 0 && audio >= 0) {
      report.Result(Reading(QStringLiteral("watch"), light, audio));
    } else {
      report.Failure(QStringLiteral("watch"), "no-answer", QStringLiteral("Keine Antwort vom Gerät."));
    }
    QTimer pause;
    pause.setSingleShot(true);
    pause.start(options.intervalMs);
    while (pause.isActive() && !interrupted)
      QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
  DeviceLink::LeaveServiceMode();
  return kExitOk;
}

int Segment(const QString& command, const QString& text, Report& report) {
  bool number = false;
  const int segment = text.toInt(&number);
  if (!number || segment < 0 || segment > 255) {
    report.Failure(command, "bad-arguments", QStringLiteral("Segment muss zwischen 0 und 255 liegen."));
    return kExitBadArguments;
  }
  InServiceMode([&] { DeviceLink::PlaySegment(static_cast<uint8_t>(segment)); });
  report.Result(Done(command, QStringLiteral("Segment %1 gespielt.").arg(segment)));
  return kExitOk;
}

int Rtc(const QString& mode, Report& report, bool& interrupted) {
  if (mode == QLatin1String("off")) {
    InServiceMode([] { DeviceLink::StopRtcTest(); });
    report.Result(Done(QStringLiteral("rtc"), QStringLiteral("RTC Test aus.")));
    return kExitOk;
  }
  // As the test dialog: the output runs until the end, which switches it off
  // before service mode is left.
  DeviceLink::EnterServiceMode();
  DeviceLink::StartRtcTest();
  report.Result(Done(QStringLiteral("rtc"), QStringLiteral("RTC Test an, bis Strg+C.")));
  UntilInterrupted(interrupted);
  DeviceLink::StopRtcTest();
  DeviceLink::LeaveServiceMode();
  return kExitOk;
}

// A set given by name only is looked for in the program's speechset folder.
QString SpeechSetPath(const QString& set) {
  if (QFileInfo::exists(set)) return set;
  return LocalPath(ProgramFolder() + kSpeechSetFolder + set);
}

int Copy(const QStringList& words, Report& report, std::function<void()>& onInterrupt) {
  QStringList lines;
  if (!ReadSpeechSet(SpeechSetPath(words[1]), lines)) {
    report.Failure(QStringLiteral("copy"), "cannot-open-set",
                   QStringLiteral("Die Sprachdatei konnte nicht geöffnet werden: %1").arg(words[1]));
    return kExitBadArguments;
  }
  CopyRun run(report, BuildCopyList(lines, words.mid(2)), ProgramFolder());
  onInterrupt = [&run] { run.Interrupt(); };
  const int code = run.Run();
  onInterrupt = nullptr;
  return code;
}

int Firmware(const QString& image, const QString& port, Report& report) {
  if (!QFileInfo(image).isFile()) {
    report.Failure(QStringLiteral("firmware"), "cannot-open-image", kCopyFailedText);
    return kExitBadArguments;
  }
  report.Progress(QStringLiteral("Firmwareupdate läuft..."));
  switch (HandOverImage(image, port, FirmwareWaitRules())) {
    case HandOverResult::Done:
      report.Result(Done(QStringLiteral("firmware"), QStringLiteral("Firmwareupdate beendet.")));
      return kExitOk;
    case HandOverResult::CopyFailed:
      report.Failure(QStringLiteral("firmware"), "image-copy-failed", kCopyFailedText);
      return kExitRefused;
    case HandOverResult::StartFailed:
      report.Failure(QStringLiteral("firmware"), "script-start-failed", kStartFailedText);
      return kExitRefused;
    case HandOverResult::StillRunning:
      report.Failure(QStringLiteral("firmware"), "tool-still-running", kStillRunningText);
      return kExitRefused;
  }
  return kExitRefused;
}

bool IsDeviceCommand(const QString& command) {
  return command == QLatin1String("status") || command == QLatin1String("watch") ||
         command == QLatin1String("dim-store") || command == QLatin1String("rtc") ||
         command == QLatin1String("segment") || command == QLatin1String("beep") ||
         command == QLatin1String("copy");
}

bool ArgumentsFit(const QStringList& words) {
  const QString& command = words[0];
  const qsizetype count = words.size() - 1;
  if (command == QLatin1String("rtc"))
    return count == 1 && (words[1] == QLatin1String("on") || words[1] == QLatin1String("off"));
  if (command == QLatin1String("segment") || command == QLatin1String("firmware")) return count == 1;
  if (command == QLatin1String("copy")) return count >= 1;
  return count == 0 && (IsDeviceCommand(command) || command == QLatin1String("ports"));
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("vellamo-cli"));
  const std::optional<Options> parsed = Parse(QCoreApplication::arguments());
  if (!parsed || !ArgumentsFit(parsed->words)) {
    std::fputs(kUsage, stderr);
    return kExitBadArguments;
  }
  const Options& options = *parsed;
  Report report(options.json);
  const QString command = options.words[0];

  bool interrupted = false;
  std::function<void()> onInterrupt;
  CatchQuitSignals([&] {
    interrupted = true;
    DeviceLink::AbandonWaits();
    if (onInterrupt) onInterrupt();
  });

  const QString port = options.port.isEmpty() ? DefaultPort() : options.port;
  if (command == QLatin1String("ports")) {
    const QStringList ports = SortedPorts();
    // What the port dialog says of each port, for telling the clock's adapter apart.
    QJsonArray details;
    for (const PortInfo& info : SortedPortInfos())
      details.append(QJsonObject{{QStringLiteral("port"), QString::fromStdString(info.Path)},
                                 {QStringLiteral("description"), QString::fromStdString(info.Description)},
                                 {QStringLiteral("serial"), QString::fromStdString(info.Serial)},
                                 {QStringLiteral("byId"), QString::fromStdString(info.ById)}});
    report.Result({{QStringLiteral("command"), command},
                   {QStringLiteral("ok"), true},
                   {QStringLiteral("ports"), QJsonArray::fromStringList(ports)},
                   {QStringLiteral("details"), details},
                   {QStringLiteral("default"), DefaultPort()},
                   {QStringLiteral("text"), ports.join(QLatin1Char('\n'))}});
    return kExitOk;
  }
  if (command == QLatin1String("firmware")) return Firmware(options.words[1], port, report);

  DeviceSession session;
  if (port.isEmpty() || !session.Open(port)) {
    report.Failure(command, "no-device",
                   port.isEmpty() ? QStringLiteral("Keine serielle Schnittstelle gefunden.") : session.FailureText());
    return kExitNoDevice;
  }
  int code = kExitOk;
  if (command == QLatin1String("status")) {
    code = ReadLevels(command, report);
  } else if (command == QLatin1String("watch")) {
    code = Watch(options, report, interrupted);
  } else if (command == QLatin1String("dim-store")) {
    InServiceMode([] { DeviceLink::StoreDimThreshold(); });
    report.Result(Done(command, QStringLiteral("Helligkeit gesetzt.")));
  } else if (command == QLatin1String("rtc")) {
    code = Rtc(options.words[1], report, interrupted);
  } else if (command == QLatin1String("segment")) {
    code = Segment(command, options.words[1], report);
  } else if (command == QLatin1String("beep")) {
    // The test dialog's "Audio Test" with its spin field as it opens: segment 0.
    code = Segment(command, QStringLiteral("0"), report);
  } else if (command == QLatin1String("copy")) {
    code = Copy(options.words, report, onInterrupt);
  }
  session.Finish();
  return code;
}

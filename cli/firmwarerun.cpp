#include "cli/firmwarerun.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "link/firmwareguard.h"
#include "serial/portfailure.h"
#include "tools/firmwarefolder.h"
#include "tools/firmwarehandover.h"
#include "tools/firmwarelauncher.h"

namespace {

using Clock = std::chrono::steady_clock;

const QString kCommand = QStringLiteral("firmware");
constexpr int kLookEveryMs = 100;

// The port opens (the clock is there and no other program holds it), and its
// guard is taken while it is open, so that nobody can come between the close
// and the tool. nullopt when it cannot be handed over; `code` then says why.
std::optional<ProcessLock> GuardPort(const QString& port, Report& report, int& code) {
  DeviceSession session;
  if (!session.Open(port)) {
    code = ReportOpenFailure(kCommand, session, report);
    return std::nullopt;
  }
  std::optional<ProcessLock> guard =
      FirmwareGuard::Take(port, QStringLiteral("vellamo-cli firmware (PID %1)").arg(getpid()));
  if (!guard) {
    report.Failure(kCommand, "guard-unavailable",
                   QStringLiteral("Der Port %1 kann nicht für das Update gesichert werden (Sperrordner %2).")
                       .arg(port, QString::fromStdString(LockFolder())));
    code = kExitRefused;
  }
  return guard;
}

// Serves the event loop (signals, the closed-output watch) for a moment.
void Serve(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

// The real signals reach the tool; a closed output does not stop a flash.
bool PassedOn(int signal) { return signal == SIGINT || signal == SIGTERM || signal == SIGHUP; }

// The script and whatever it handed the port's guard to (the tool).
class ToolWatch {
 public:
  ToolWatch(pid_t script, const QString& port) : script_(script), port_(port) {}
  bool Ended() {
    int status = 0;
    if (!status_ && waitpid(script_, &status, WNOHANG) == script_)
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_ && !FirmwareGuard::Held(port_);
  }
  // The script's exit status, 128 + N when signal N ended it.
  int Status() const { return status_.value_or(-1); }

 private:
  pid_t script_;
  QString port_;
  std::optional<int> status_;
};

}  // namespace

OpenFailure OpenFailureOf(const DeviceSession& session) {
  if (session.FirmwareBeingWritten()) return {"firmware-being-written", kExitFirmwareBeingWritten};
  const uint32_t code = session.FailureCode();
  if (PortFailure::IsBusy(code)) return {"port-busy", kExitPortBusy};
  return {code == EACCES || code == EPERM ? "permission-denied" : "no-device", kExitNoDevice};
}

int ReportOpenFailure(const QString& command, const DeviceSession& session, Report& report) {
  const OpenFailure failure = OpenFailureOf(session);
  report.Failure(command, failure.error, session.FailureText());
  return failure.code;
}

int RunFirmware(const QString& image, const QString& port, Report& report, const Ending& ending,
                const EndingReport& reportEnding) {
  int code = kExitOk;
  std::optional<ProcessLock> guard = GuardPort(port, report, code);
  if (!guard) return code;
  const QString folder = FirmwareFolder();
  const QString log = QDir(folder).filePath(QString::fromStdString(kUpdateLog));
  const QJsonObject where{{QStringLiteral("log"), log}};
  report.Progress(QStringLiteral("Firmwareupdate läuft auf %1, Protokoll: %2").arg(port, log));
  if (!PlaceFirmwareImage(image, folder)) {
    report.Failure(kCommand, "image-copy-failed", kCopyFailedText + QLatin1Char(' ') + folder, where);
    return kExitRefused;
  }
  if (ending.Requested()) return reportEnding(where, QString());  // before the script starts
  const ScriptLaunch launch =
      LaunchUpdateScript(QFile::encodeName(folder).toStdString(), QFile::encodeName(port).toStdString(),
                         ScriptParent::Child, guard->Descriptor());
  // From here on the script holds the guard, for itself and the tool.
  guard.reset();
  if (launch.error != 0) {
    report.Failure(
        kCommand, "script-start-failed",
        kStartFailedText + QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(strerror(launch.error))),
        where);
    return kExitRefused;
  }

  ToolWatch tool(launch.pid, port);
  const Clock::time_point limit = Clock::now() + FirmwareWaitRules().Limit;
  Clock::time_point giveUp = limit;
  int passedOn = 0;
  while (!tool.Ended()) {
    if (!passedOn && PassedOn(ending.signal)) {
      passedOn = ending.signal;
      kill(-launch.pid, passedOn);  // the script leads a session, and so a process group, of its own
      giveUp = std::min(limit, Clock::now() + std::chrono::milliseconds(kToolGraceAfterSignalMs));
    }
    if (Clock::now() >= giveUp) {
      QJsonObject members = where;
      members.insert(QStringLiteral("pid"), static_cast<qint64>(launch.pid));
      if (passedOn) members.insert(QStringLiteral("signal"), QStringLiteral("SIG") + sigabbrev_np(passedOn));
      report.Failure(kCommand, "still-writing",
                     QStringLiteral("Die Firmware wird noch geschrieben – das Gerät nicht abziehen! Das "
                                    "Update-Programm (Prozessgruppe %1) läuft weiter; Protokoll: %2")
                         .arg(launch.pid)
                         .arg(log),
                     members);
      return kExitStillWriting;
    }
    Serve(kLookEveryMs);
  }
  const int status = tool.Status();
  if (ending.Requested()) {
    QJsonObject members = where;
    members.insert(QStringLiteral("toolStatus"), status);
    return reportEnding(
        members,
        QStringLiteral(" Das Update-Programm endete mit Status %1; Protokoll: %2").arg(status).arg(log));
  }
  if (status != 0) {
    QJsonObject members = where;
    members.insert(QStringLiteral("status"), status);
    report.Failure(kCommand, "script-failed", ScriptFailedText(status, log), members);
    return kExitRefused;
  }
  DeviceSession session;
  if (!session.Open(port)) {
    report.Failure(kCommand, "no-device",
                   QStringLiteral("Firmwareupdate beendet, doch der Port öffnet nicht wieder: %1")
                       .arg(session.FailureText()),
                   where);
    return kExitNoDevice;
  }
  QJsonObject result = where;
  result.insert(QStringLiteral("command"), kCommand);
  result.insert(QStringLiteral("ok"), true);
  result.insert(QStringLiteral("status"), 0);
  result.insert(QStringLiteral("text"), QStringLiteral("Firmwareupdate beendet."));
  report.Result(result);
  return kExitOk;
}

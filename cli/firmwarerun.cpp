#include "cli/firmwarerun.h"

#include <sys/wait.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "cli/devicesession.h"
#include "tools/firmwarefolder.h"
#include "tools/firmwarehandover.h"
#include "tools/firmwarelauncher.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const QString kCommand = QStringLiteral("firmware");

bool PortOpens(const QString& port, QString& failure) {
  DeviceSession session;
  const bool opened = session.Open(port);
  failure = session.FailureText();
  return opened;
}

// The script's exit status, 128 + N when signal N ended it; -1 when it still
// ran at the limit or the wait was given up for an ending.
int WaitForScript(pid_t pid, const Ending& ending) {
  const Clock::time_point limit = Clock::now() + FirmwareWaitRules().Limit;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR) return -1;
    QCoreApplication::processEvents();
    if (ending.Requested() || Clock::now() >= limit) return -1;
    std::this_thread::sleep_for(100ms);
  }
}

}  // namespace

int RunFirmware(const QString& image, const QString& port, Report& report, const Ending& ending) {
  QString failure;
  if (!PortOpens(port, failure)) {
    report.Failure(kCommand, "no-device", failure);
    return kExitNoDevice;
  }
  const QString folder = FirmwareFolder();
  const QString log = QDir(folder).filePath(QString::fromStdString(kUpdateLog));
  const QJsonObject where{{QStringLiteral("log"), log}};
  report.Progress(QStringLiteral("Firmwareupdate läuft auf %1, Protokoll: %2").arg(port, log));
  if (!PlaceFirmwareImage(image, folder)) {
    report.Failure(kCommand, "image-copy-failed", kCopyFailedText + QLatin1Char(' ') + folder, where);
    return kExitRefused;
  }
  const ScriptLaunch launch = LaunchUpdateScript(QFile::encodeName(folder).toStdString(),
                                                 QFile::encodeName(port).toStdString(), ScriptParent::Child);
  if (launch.error != 0) {
    report.Failure(
        kCommand, "script-start-failed",
        kStartFailedText + QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(strerror(launch.error))),
        where);
    return kExitRefused;
  }
  const int status = WaitForScript(launch.pid, ending);
  if (ending.Requested()) return -1;  // the caller names the ending; the flashing goes on in its own session
  if (status < 0) {
    report.Failure(kCommand, "tool-still-running", kStillRunningText, where);
    return kExitRefused;
  }
  if (status != 0) {
    QJsonObject members = where;
    members.insert(QStringLiteral("status"), status);
    report.Failure(
        kCommand, "script-failed",
        QStringLiteral("Das Update-Skript endete mit Status %1; Einzelheiten in %2").arg(status).arg(log),
        members);
    return kExitRefused;
  }
  if (!PortOpens(port, failure)) {
    report.Failure(
        kCommand, "no-device",
        QStringLiteral("Firmwareupdate beendet, doch der Port öffnet nicht wieder: %1").arg(failure), where);
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

#include "speech/soundoutputlock.h"

#include <QByteArray>
#include <QString>

std::string SoundServerAddress() {
  QString server = qEnvironmentVariable("PULSE_SERVER").trimmed();
  if (!server.isEmpty()) {
    // The same socket, named with or without its protocol.
    if (server.startsWith(QStringLiteral("unix:"))) server = server.mid(5);
    return server.toStdString();
  }
  const QString runtime = qEnvironmentVariable("PULSE_RUNTIME_PATH");
  if (!runtime.isEmpty()) return (runtime + QStringLiteral("/native")).toStdString();
  return (qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/pulse/native")).toStdString();
}

std::string SoundOutputLockName() {
  std::string name = "sound-" + SoundServerAddress();
  for (char& c : name)
    if (c == '/' || c == ' ' || c == ':') c = '_';
  return name;
}

SoundOutputClaim ClaimSoundOutput(const QString& port) {
  SoundOutputClaim claim;
  claim.lock = ProcessLock::TryTake(SoundOutputLockName(), port.toStdString());
  if (!claim.lock) {
    const std::optional<std::string> holder = ProcessLock::HeldBy(SoundOutputLockName());
    claim.heldBy = holder ? QString::fromStdString(*holder) : QStringLiteral("?");
  }
  return claim;
}

std::optional<QString> SoundOutputHolder() {
  const std::optional<std::string> holder = ProcessLock::HeldBy(SoundOutputLockName());
  if (!holder) return std::nullopt;
  return QString::fromStdString(*holder);
}

QString SoundOutputBusyText(const QString& holderPort) {
  return QStringLiteral(
             "Die Audioausgabe ist belegt: Eine andere Übertragung (an %1) benutzt sie gerade. Eine zweite "
             "würden beide Uhren aufnehmen. Bitte warten, bis sie beendet ist, und dann erneut starten.")
      .arg(holderPort);
}

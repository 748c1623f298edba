// The layer without a sound server, and with one that comes and goes while the
// program runs. Each case runs audio_probe in a child process whose environment
// leads to no server or to a private one: this process is already connected to
// the server of scripts/test.

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <chrono>
#include <thread>

#include "tests/speech/soundtestsupport.h"

namespace {

struct ProbeResult {
  bool finished = false;
  int exitCode = -1;
  QString output;
  QString errors;
};

// Private runtime and home folders; libpulse may not start a server by itself.
QProcessEnvironment PrivateEnvironment(const QTemporaryDir& folder) {
  QDir(folder.path()).mkdir("runtime");
  QDir(folder.path()).mkdir("home");
  QFile::setPermissions(folder.path() + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  QFile config(folder.path() + "/client.conf");
  if (config.open(QIODevice::WriteOnly)) config.write("autospawn = no\n");
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("XDG_RUNTIME_DIR", folder.path() + "/runtime");
  environment.insert("HOME", folder.path() + "/home");
  environment.insert("PULSE_CLIENTCONFIG", folder.path() + "/client.conf");
  environment.remove("PULSE_SERVER");
  environment.insert("VELLAMO_PROGRAM_DIR", SourceDataFolder());
  return environment;
}

ProbeResult RunProbe(const QString& mode, const QProcessEnvironment& environment, int timeoutMs = 90000,
                     const QStringList& more = {}) {
  ProbeResult result;
  QProcess probe;
  probe.setProcessEnvironment(environment);
  probe.start(QStringLiteral(AUDIO_PROBE), QStringList{mode} + more);
  result.finished = probe.waitForFinished(timeoutMs);
  if (!result.finished) probe.kill();
  result.exitCode = probe.exitCode();
  result.output = QString::fromUtf8(probe.readAllStandardOutput()).trimmed();
  result.errors = QString::fromUtf8(probe.readAllStandardError());
  return result;
}

TEST(WithoutSoundServer, VolumeIsZeroSettingFailsPlayingGivesNoStreamAndEachInitSaysSo) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  QProcessEnvironment environment = PrivateEnvironment(folder);
  environment.insert("PULSE_SERVER", "unix:" + folder.path() + "/no-server");
  const ProbeResult result = RunProbe("none", environment);
  ASSERT_TRUE(result.finished) << "the probe hung";
  EXPECT_EQ(result.exitCode, 0) << "the program must go on without sound";
  EXPECT_EQ(result.output.toStdString(),
            "messages=Audioausgabe nicht gefunden|Audioausgabe nicht gefunden| get=0 set=false play=0 "
            "playing=false")
      << result.errors.toStdString();
}

// A server that accepts the connection and then never answers: each attempt
// gives up after a few seconds, and the program says what it says without a
// server. (libpulse itself would wait 30 s per request.)
TEST(HungSoundServer, EachAttemptGivesUpSoonAndItCountsAsNoServer) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const std::string path = (folder.path() + "/hung-server").toStdString();
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // Never accepted: the kernel completes the connections, nobody answers.
  ASSERT_EQ(listen(listener, 16), 0);
  QProcessEnvironment environment = PrivateEnvironment(folder);
  environment.insert("PULSE_SERVER", QString::fromStdString("unix:" + path));
  // Five attempts (two InitAudio, the volume read and set, one PlayFile).
  const ProbeResult result = RunProbe("none", environment, 60000);
  close(listener);
  ASSERT_TRUE(result.finished) << "the program waited for the hung server";
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output.toStdString(),
            "messages=Audioausgabe nicht gefunden|Audioausgabe nicht gefunden| get=0 set=false play=0 "
            "playing=false")
      << result.errors.toStdString();
}

// The server hangs in the middle of a stream without closing the connection:
// no underflow, no error, the position just stops. The stream ends as cut.
TEST(HungSoundServer, AStreamWhosePositionStopsEndsAsCut) {
  if (QStandardPaths::findExecutable("pulseaudio").isEmpty()) GTEST_SKIP() << "pulseaudio not installed";
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString path = folder.filePath("lang.wav");
  ASSERT_TRUE(WriteTone(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100 * 12));
  const ProbeResult result = RunProbe("stall", PrivateEnvironment(folder), 90000, {path});
  ASSERT_TRUE(result.finished) << "the probe hung";
  ASSERT_EQ(result.exitCode, 0) << result.output.toStdString() << "\n" << result.errors.toStdString();
  EXPECT_EQ(result.output.toStdString(), "ended=yes early=yes monotone=yes") << result.errors.toStdString();
}

TEST(SoundServerComingAndGoing, LaterPlayFileFindsTheServerAndStreamsEndCutWhenItGoes) {
  if (QStandardPaths::findExecutable("pulseaudio").isEmpty()) GTEST_SKIP() << "pulseaudio not installed";
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const ProbeResult result = RunProbe("comeandgo", PrivateEnvironment(folder));
  ASSERT_TRUE(result.finished) << "the probe hung";
  ASSERT_EQ(result.exitCode, 0) << result.output.toStdString() << "\n" << result.errors.toStdString();
  // No server at InitAudio: the message. Then a server starts: the mixer and
  // PlayFile use it. It goes away mid-stream: the stream ends rather than playing
  // forever, says it was cut, and its position never moves back. It comes back:
  // the next PlayFile plays again, and is cut again.
  EXPECT_EQ(result.output.toStdString(),
            "message=yes volume=yes played=yes ended=yes early=yes monotone=yes replayed=yes advancing=yes "
            "ended=yes early=yes monotone=yes")
      << result.errors.toStdString();
}

TEST(SoundServerGoingAway, PuttingTheLevelBackFailsAndSaysSo) {
  if (QStandardPaths::findExecutable("pulseaudio").isEmpty()) GTEST_SKIP() << "pulseaudio not installed";
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const ProbeResult result = RunProbe("volumeloss", PrivateEnvironment(folder));
  ASSERT_TRUE(result.finished) << "the probe hung";
  ASSERT_EQ(result.exitCode, 0) << result.output.toStdString() << "\n" << result.errors.toStdString();
  // 150 % reads as the top; with the server gone neither a restore nor a set can be made.
  EXPECT_EQ(result.output.toStdString(), "read=65536 restore=false set=false") << result.errors.toStdString();
}

// The program stalls (a starved machine) for longer than the sound server holds
// of its stream: the sound has a gap, which a recording would keep. The stream
// must end and say it was cut, not play on as if nothing had happened.
TEST(SoundRunningDry, AStreamWithAGapInItsSoundEndsAsCut) {
  SKIP_WITHOUT_SOUND_SERVER();
  SinkLock sink(SinkLock::Shared);
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QString path = folder.filePath("lang.wav");
  ASSERT_TRUE(WriteTone(path, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100 * 12));
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("VELLAMO_PROGRAM_DIR", SourceDataFolder());
  QProcess probe;
  probe.setProcessEnvironment(environment);
  probe.start(QStringLiteral(AUDIO_PROBE), {"starve", path});
  QByteArray output;
  while (!output.contains('\n') && probe.waitForReadyRead(30000)) output += probe.readAllStandardOutput();
  ASSERT_EQ(output.trimmed().toStdString(), "heard") << probe.readAllStandardError().toStdString();
  kill(pid_t(probe.processId()), SIGSTOP);
  // Twice what the server holds of a stream: the stall, not a wait for something.
  std::this_thread::sleep_for(std::chrono::seconds(4));
  kill(pid_t(probe.processId()), SIGCONT);
  probe.write("g");
  probe.closeWriteChannel();
  ASSERT_TRUE(probe.waitForFinished(60000)) << "the probe hung";
  output += probe.readAllStandardOutput();
  EXPECT_EQ(output.trimmed().toStdString(), "heard\nended=yes early=yes monotone=yes")
      << probe.readAllStandardError().toStdString();
}

}  // namespace

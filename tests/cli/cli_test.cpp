// vellamo-cli run as a program against vellamo-devsim run as a program on its
// pty: the bytes the device receives, the JSON, the exit codes. The copy cases
// go through the real sound output into the private null sink and the
// simulator's hearing mode; they skip without a sound server.

#include <gmock/gmock.h>
#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <functional>
#include <memory>

#include "speech/audio.h"
#include "tests/speech/soundtestsupport.h"
#include "tests/support/eventwait.h"

using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

// The simulator as a program; its --verbose log names each command received.
class Simulator {
 public:
  explicit Simulator(const QStringList& options, const QString& runtimeDir = QString()) {
    if (!runtimeDir.isEmpty()) {
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
      process_.setProcessEnvironment(env);
    }
    process_.start(QStringLiteral(VELLAMO_DEVSIM_PROGRAM), QStringList{"--verbose"} + options);
    process_.waitForStarted(kFaultMs);
    ProcessUntil([&] { return process_.canReadLine(); }, kFaultMs);
    port_ = QString::fromUtf8(process_.readLine()).trimmed();
  }
  ~Simulator() {
    process_.terminate();
    process_.waitForFinished(kFaultMs);
  }
  QString Port() const { return port_; }

  // The commands received so far, each as its log names it: "*", "F 0x08".
  QStringList Received() {
    log_ += QString::fromUtf8(process_.readAllStandardError());
    QStringList commands;
    static const QRegularExpression rx(QStringLiteral(R"(\brx (\S+(?: 0x[0-9a-f]{2})?))"));
    for (auto match = rx.globalMatch(log_); match.hasNext();) commands << match.next().captured(1);
    return commands;
  }
  // The commands received since `mark` (a count), once `count` of them are in.
  QStringList ReceivedSince(qsizetype mark, qsizetype count) {
    ProcessUntil([&] { return Received().size() >= mark + count; }, kFaultMs);
    return Received().mid(mark);
  }

 private:
  QProcess process_;
  QString port_;
  QString log_;
};

struct CliRun {
  int exitCode = -1;
  QJsonObject json;  // the last JSON object printed
};

CliRun RunCli(const QStringList& arguments, const std::function<void(QProcess&)>& meanwhile = {}) {
  QProcess cli;
  cli.start(QStringLiteral(VELLAMO_CLI_PROGRAM), arguments);
  cli.waitForStarted(kFaultMs);
  if (meanwhile) meanwhile(cli);
  cli.waitForFinished(120000);
  CliRun run;
  run.exitCode = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
  const QList<QByteArray> lines = cli.readAllStandardOutput().trimmed().split('\n');
  run.json = QJsonDocument::fromJson(lines.last()).object();
  return run;
}

TEST(Cli, EachTestActionSendsItsBytesInServiceModeAndPrintsItsResult) {
  Simulator device({"--no-announce", "--light", "300", "--audio", "77"});
  struct Case {
    QStringList args;
    QStringList bytes;
  };
  const Case cases[] = {
      {{"status"}, {"*", "A", "B", "{"}},
      {{"dim-store"}, {"*", "C", "{"}},
      {{"rtc", "off"}, {"*", "E", "{"}},
      {{"segment", "7"}, {"*", "F 0x08", "{"}},
      {{"beep"}, {"*", "F 0x01", "{"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const qsizetype mark = device.Received().size();
    const CliRun run = RunCli(QStringList{"--json", "--port", device.Port()} << c.args);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.json.value("command").toString(), c.args.first());
    EXPECT_TRUE(run.json.value("ok").toBool());
    EXPECT_THAT(device.ReceivedSince(mark, c.bytes.size()), ElementsAreArray(c.bytes));
  }
  const CliRun status = RunCli({"--json", "--port", device.Port(), "status"});
  EXPECT_EQ(status.json.value("light").toInt(), 300);
  EXPECT_EQ(status.json.value("audio").toInt(), 77);
}

TEST(Cli, PortsChoosesTheLastPortSortedRegardlessOfCaseAsTheWindowDoes) {
  QTemporaryDir runtime;
  Simulator upper({"--name", "B-clock"}, runtime.path());
  Simulator lower({"--name", "a-clock"}, runtime.path());
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
  QProcess cli;
  cli.setProcessEnvironment(env);
  cli.start(QStringLiteral(VELLAMO_CLI_PROGRAM), {"--json", "ports"});
  ASSERT_TRUE(cli.waitForFinished(kFaultMs));
  EXPECT_EQ(cli.exitCode(), 0);
  const QJsonObject json = QJsonDocument::fromJson(cli.readAllStandardOutput()).object();
  const QString chosen = json.value("default").toString();
  EXPECT_TRUE(chosen.endsWith("/B-clock")) << chosen.toStdString();
  EXPECT_EQ(json.value("ports").toArray().last().toString(), chosen);
  EXPECT_TRUE(json.value("ports").toArray().at(json.value("ports").toArray().size() - 2).toString().endsWith("/a-clock"));
}

// A device that answers every query 1.5 s late, half a second past the
// query's time-out: each call fails, and none takes what the device still
// sends for an earlier query, its own or the previous call's (light 300,
// audio 77).
TEST(Cli, StatusAgainstADeviceThatAnswersLateFailsEveryTimeAndNeverShowsAnEarlierQuerysReading) {
  Simulator late({"--no-announce", "--light", "300", "--audio", "77", "--delay", "A=1500", "--delay", "B=1500"});
  for (int call = 1; call <= 2; ++call) {
    SCOPED_TRACE(call);
    const CliRun run = RunCli({"--json", "--port", late.Port(), "status"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_FALSE(run.json.value("ok").toBool(true));
    EXPECT_EQ(run.json.value("error").toString(), "no-answer");
    EXPECT_FALSE(run.json.contains("light") || run.json.contains("audio"));
  }
}

TEST(Cli, ExitCodesTellNoDeviceNoAnswerAndBadArgumentsApart) {
  QTemporaryDir folder;
  const CliRun gone = RunCli({"--json", "--port", folder.filePath("nothing"), "status"});
  EXPECT_EQ(gone.exitCode, 2);
  EXPECT_EQ(gone.json.value("error").toString(), "no-device");
  EXPECT_FALSE(gone.json.value("message").toString().isEmpty());

  Simulator mute({"--no-announce", "--no-answer", "B"});
  const CliRun silent = RunCli({"--json", "--port", mute.Port(), "status"});
  EXPECT_EQ(silent.exitCode, 2);
  EXPECT_EQ(silent.json.value("error").toString(), "no-answer");

  EXPECT_EQ(RunCli({"--port", mute.Port(), "segment", "256"}).exitCode, 3);
  EXPECT_EQ(RunCli({"rtc", "maybe"}).exitCode, 3);
  EXPECT_EQ(RunCli({"--port", mute.Port(), "copy", folder.filePath("none.ini")}).exitCode, 3);
}

// The copy cases: one short entry, the volume set before and read back after.
class CliCopy : public testing::Test {
 protected:
  void SetUp() override {
    if (!SoundServerReachable()) GTEST_SKIP() << "no PulseAudio server reachable";
    sink_ = std::make_unique<SinkLock>(SinkLock::Exclusive);
    ASSERT_TRUE(set_.open());
    set_.write("deutsch\\acht.wav\r\n");
    set_.flush();
    ASSERT_TRUE(SetOutputVolume(30000));
    before_ = GetOutputVolume();
    ASSERT_NE(before_, 0u);
  }
  QStringList CopyArgs(const Simulator& device) const {
    return {"--json", "--port", device.Port(), "copy", set_.fileName(), "wecker_piep.wav"};
  }
  std::unique_ptr<SinkLock> sink_;
  QTemporaryFile set_;
  std::uint32_t before_ = 0;
};

TEST_F(CliCopy, RecordsEachEntryAndPutsTheVolumeBack) {
  Simulator device({"--no-announce", "--hear", "--processing-time", "200"});
  const CliRun run = RunCli(CopyArgs(device));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_TRUE(run.json.value("ok").toBool());
  EXPECT_GE(run.json.value("level").toInt(), 120);
  const QJsonArray entries = run.json.value("entries").toArray();
  ASSERT_EQ(entries.size(), 2);
  EXPECT_EQ(entries[1].toObject().value("entry").toString(), "soundset\\wecker_piep.wav");
  EXPECT_EQ(entries[1].toObject().value("verdict").toString(), "accepted");
  ProcessUntil([&] { return device.Received().endsWith("{"); }, kFaultMs);
  const QStringList tail = device.Received().mid(device.Received().lastIndexOf("G"));
  EXPECT_THAT(tail, ElementsAre("G", "I", "J", "I", "J", "H", "K", "{"));
  EXPECT_EQ(GetOutputVolume(), before_);
}

TEST_F(CliCopy, ARefusedStopEndsWithItsCodeAndStillLeavesTheDeviceAsFound) {
  Simulator device({"--no-announce", "--hear", "--answer", "J=-", "--processing-time", "200"});
  const CliRun run = RunCli(CopyArgs(device));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.json.value("error").toString(), "stop-recording-failed");
  EXPECT_TRUE(run.json.value("message").toString().startsWith("Fehler beim Stoppen der Aufnahme."));
  ProcessUntil([&] { return device.Received().endsWith("{"); }, kFaultMs);
  const QStringList received = device.Received();
  EXPECT_EQ(received.count("I"), 1) << "no further entry after the refusal";
  EXPECT_TRUE(received.endsWith("{"));
  EXPECT_EQ(GetOutputVolume(), before_);
}

TEST_F(CliCopy, SigtermWhileTheVerdictWaitsLeavesServiceModeAndRestoresTheVolume) {
  Simulator device({"--no-announce", "--hear", "--delay", "K=60000"});
  const CliRun run = RunCli(CopyArgs(device), [&](QProcess& cli) {
    ASSERT_TRUE(ProcessUntil([&] { return device.Received().contains("K"); }, 60000));
    ::kill(static_cast<pid_t>(cli.processId()), SIGTERM);
  });
  EXPECT_EQ(run.exitCode, 130);
  EXPECT_EQ(run.json.value("error").toString(), "interrupted");
  EXPECT_TRUE(ProcessUntil([&] { return device.Received().endsWith("{"); }, kFaultMs));
  // Ended as "Abbrechen" ends it: service mode left, no processing started.
  const QStringList received = device.Received();
  EXPECT_THAT(received.mid(received.lastIndexOf("K")), ElementsAre("K", "{"));
  EXPECT_EQ(GetOutputVolume(), before_);
}

}  // namespace

// vellamo-cli run as a program against vellamo-devsim run as a program on its
// pty: the bytes the device receives, the JSON, the exit codes. An unplug is
// the simulator killed (its pty master closes as a pulled adapter's does). The
// copy cases go through the real sound output into the private null sink and
// the simulator's hearing mode; they skip without a sound server.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "cli/exitcodes.h"
#include "cli/firmwarerun.h"
#include "speech/audio.h"
#include "devsim/hearing.h"
#include "speech/soundoutputlock.h"
#include "tests/speech/probewords.h"
#include "tests/speech/soundtestsupport.h"
#include "tests/support/eventwait.h"
#include "tests/support/slowbuild.h"

using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;

namespace {

QProcessEnvironment WithRuntimeDir(const QString& runtimeDir) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  if (!runtimeDir.isEmpty()) env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
  return env;
}

// The simulator as a program; its --verbose log names each command received.
class Simulator {
 public:
  explicit Simulator(const QStringList& options, const QString& runtimeDir = QString()) {
    process_.setProcessEnvironment(WithRuntimeDir(runtimeDir));
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
  qint64 Pid() const { return process_.processId(); }
  // Pulled: the pty master closes at once.
  void Unplug() {
    Received();
    process_.kill();
    process_.waitForFinished(kFaultMs);
  }

  // The log so far.
  QString Log() {
    Received();
    return log_;
  }
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
  int exitCode = -1;  // 128 + N when ended by signal N, as a shell's $? says
  bool bySignal = false;
  QJsonObject json;  // the last JSON object printed
  QList<QJsonObject> objects;
  QString out;
  QString err;
};

CliRun Collect(QProcess& cli) {
  CliRun run;
  // Ended by a signal, QProcess gives the signal's number as the exit code.
  run.bySignal = cli.exitStatus() == QProcess::CrashExit;
  run.exitCode = run.bySignal ? 128 + cli.exitCode() : cli.exitCode();
  run.out = QString::fromUtf8(cli.readAllStandardOutput());
  run.err = QString::fromUtf8(cli.readAllStandardError());
  for (const QString& line : run.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    if (error.error == QJsonParseError::NoError) run.objects << document.object();
  }
  if (!run.objects.isEmpty()) run.json = run.objects.last();
  return run;
}

CliRun RunCli(const QStringList& arguments, const std::function<void(QProcess&)>& meanwhile = {},
              const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
              const QString& program = QStringLiteral(VELLAMO_CLI_PROGRAM)) {
  QProcess cli;
  cli.setProcessEnvironment(env);
  cli.start(program, arguments);
  cli.waitForStarted(kFaultMs);
  if (meanwhile) meanwhile(cli);
  cli.waitForFinished(120000);
  return Collect(cli);
}

// The CLI's standard output piped into `reader` (a shell command line), as in
// "vellamo-cli watch | head -n3": when the reader ends, the pipe is closed.
CliRun RunCliInto(const QStringList& arguments, const QString& reader,
                  const std::function<void(QProcess& cli, QProcess& reader)>& meanwhile, QString& read) {
  QProcess cli;
  QProcess readerProcess;
  cli.setStandardOutputProcess(&readerProcess);
  readerProcess.start(QStringLiteral("/bin/sh"), {"-c", reader});
  cli.start(QStringLiteral(VELLAMO_CLI_PROGRAM), arguments);
  cli.waitForStarted(kFaultMs);
  readerProcess.waitForStarted(kFaultMs);
  meanwhile(cli, readerProcess);
  cli.waitForFinished(120000);
  readerProcess.waitForFinished(kFaultMs);
  read = QString::fromUtf8(readerProcess.readAllStandardOutput());
  return Collect(cli);
}

void Signal(QProcess& process, int signal) { ::kill(static_cast<pid_t>(process.processId()), signal); }

// A shell command line run as a terminal runs a job: in a process group of its
// own, so that a "Ctrl+C" reaches the shell and the command it waits for alike.
// $CLI is the tool; `meanwhile` gets the group's id.
CliRun RunShellJob(const QString& script, const QProcessEnvironment& env,
                   const std::function<void(pid_t group)>& meanwhile) {
  QProcess shell;
  QProcessEnvironment withCli = env;
  withCli.insert(QStringLiteral("CLI"), QStringLiteral(VELLAMO_CLI_PROGRAM));
  shell.setProcessEnvironment(withCli);
  shell.setChildProcessModifier([] { setpgid(0, 0); });
  shell.start(QStringLiteral("/bin/bash"), {"-c", script});
  shell.waitForStarted(kFaultMs);
  meanwhile(static_cast<pid_t>(shell.processId()));
  shell.waitForFinished(180000);
  return Collect(shell);
}

// As the tool names it in its JSON: "SIGINT".
QString SignalName(int signal) { return QStringLiteral("SIG") + QString::fromLatin1(sigabbrev_np(signal)); }

TEST(Cli, EachTestActionSendsItsBytesInServiceModeAndPrintsItsResult) {
  Simulator device({"--no-announce", "--light", "300", "--audio", "77"});
  struct Case {
    QStringList args;
    QStringList bytes;
  };
  const Case cases[] = {
      {{"status"}, {"*", "A", "B", "{"}}, {{"dim-store"}, {"*", "C", "{"}},
      {{"rtc", "off"}, {"*", "E", "{"}},  {{"segment", "7"}, {"*", "F 0x08", "{"}},
      {{"beep"}, {"*", "F 0x01", "{"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const qsizetype mark = device.Received().size();
    const CliRun run = RunCli(QStringList{"--json", "--port", device.Port()} << c.args);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.json.value("command").toString(), c.args.first());
    EXPECT_TRUE(run.json.value("ok").toBool());
    EXPECT_EQ(run.json.value("port").toString(), device.Port());
    EXPECT_THAT(run.err.toStdString(), HasSubstr(("Verbunden auf " + device.Port() + ".").toStdString()));
    EXPECT_THAT(device.ReceivedSince(mark, c.bytes.size()), ElementsAreArray(c.bytes));
  }
  const CliRun status = RunCli({"--json", "--port", device.Port(), "status"});
  EXPECT_EQ(status.json.value("light").toInt(), 300);
  EXPECT_EQ(status.json.value("audio").toInt(), 77);
  EXPECT_EQ(RunCli({"--json", "--port", device.Port(), "segment", "7"}).json.value("segment").toInt(), 7);
}

// A status on a healthy clock is meant to take about a second, opening and
// closing included; a wait for a quiet line once cost every command more than
// half of it. The median of a few runs, with a bound well above the goal.
TEST(Cli, AStatusOnAHealthyClockStaysNearItsSecond) {
  if (kSanitizedBuild) GTEST_SKIP() << "a bound on time measures the plain build";
  Simulator device({"--no-announce"});
  std::vector<qint64> takes;
  for (int run = 0; run < 5; ++run) {
    QElapsedTimer took;
    took.start();
    ASSERT_EQ(RunCli({"--port", device.Port(), "status"}).exitCode, 0);
    takes.push_back(took.elapsed());
  }
  std::nth_element(takes.begin(), takes.begin() + 2, takes.end());
  EXPECT_LT(takes[2], 2500) << "median of five status runs in ms";
}

// Every argument and input file is judged before the port is opened: the
// device receives nothing, and the failure names what is wrong.
TEST(Cli, ArgumentsAndInputFilesAreCheckedBeforeTheDeviceIsTouched) {
  Simulator device({"--no-announce"});
  QTemporaryDir folder;
  QFile set(folder.filePath("set.ini"));
  ASSERT_TRUE(set.open(QIODevice::WriteOnly));
  set.write("deutsch\\acht.wav\r\n");
  set.close();
  QFile empty(folder.filePath("Leer.ini"));
  ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
  empty.close();
  QFile notes(folder.filePath("notes.txt"));
  ASSERT_TRUE(notes.open(QIODevice::WriteOnly));
  notes.write("Einkaufsliste: Milch, Brot\n");
  notes.close();
  // Every failure names its command, and the port given, as a result would;
  // a path is named as given, or made absolute once.
  struct Case {
    QStringList args;
    const char* error;
    QString named;  // in `argument`, or in the message
    const char* command;
    QString notNamed = QStringLiteral("//");
  };
  const Case cases[] = {
      {{"segment", "300"}, "bad-arguments", "300", "segment"},
      {{"rtc", "maybe"}, "bad-arguments", "maybe", "rtc"},
      {{"status", "now"}, "bad-arguments", "status", "status"},
      {{"--interval=soon", "watch"}, "bad-arguments", "--interval", "watch"},
      {{"--loud", "status"}, "bad-arguments", "--loud", "status"},
      {{"--port"}, "bad-arguments", "--port", ""},
      {{"--port", device.Port(), "copy", set.fileName()}, "bad-arguments", "mehrfach angegeben", "copy"},
      {{}, "bad-arguments", "", ""},
      {{"copy", folder.filePath("none.ini")},
       "cannot-open-set",
       folder.filePath("none.ini"),
       "copy",
       "speechset"},
      {{"copy", "sub/none.ini"}, "cannot-open-set", ": sub/none.ini", "copy", "speechset"},
      {{"copy", "none.ini"}, "cannot-open-set", "/speechset/none.ini", "copy"},
      {{"copy", set.fileName(), "no_such_sound.wav"},
       "unplayable-entries",
       "soundset\\no_such_sound.wav",
       "copy"},
      {{"copy", notes.fileName()}, "unplayable-entries", "speechset\\Einkaufsliste: Milch, Brot", "copy"},
      {{"copy", empty.fileName()}, "nothing-to-copy", empty.fileName(), "copy"},
      {{"firmware", folder.filePath("fw.hex")}, "cannot-open-image", folder.filePath("fw.hex"), "firmware"},
      {{"firmware", notes.fileName()},
       "bad-image",
       notes.fileName() + " ist keine gültige Intel-HEX-Datei: Zeile 1",
       "firmware"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const CliRun run = RunCli(QStringList{"--json", "--port", device.Port()} << c.args);
    EXPECT_EQ(run.exitCode, 3);
    ASSERT_EQ(run.objects.size(), 1) << run.out.toStdString();
    EXPECT_FALSE(run.json.value("ok").toBool(true));
    EXPECT_EQ(run.json.value("error").toString().toStdString(), c.error);
    EXPECT_EQ(run.json.value("command").toString().toStdString(), c.command);
    EXPECT_EQ(run.json.value("port").toString(), device.Port());
    const QString said = run.json.value("argument").toString() + '\n' + run.json.value("message").toString();
    EXPECT_THAT(said.toStdString(), HasSubstr(c.named.toStdString()));
    EXPECT_THAT(said.toStdString(), testing::Not(HasSubstr(c.notNamed.toStdString())));
  }
  // An empty --port names no port.
  const CliRun emptyPort = RunCli({"--json", "--port", "", "status"});
  EXPECT_EQ(emptyPort.exitCode, 3);
  EXPECT_EQ(emptyPort.json.value("command").toString(), "status");
  EXPECT_EQ(emptyPort.json.value("argument").toString(), "--port");
  EXPECT_FALSE(emptyPort.json.contains("port"));
  // Text mode: the error on stderr, nothing on stdout.
  const CliRun text = RunCli({"--port", device.Port(), "segment", "x"});
  EXPECT_EQ(text.exitCode, 3);
  EXPECT_TRUE(text.out.isEmpty());
  EXPECT_THAT(text.err.toStdString(), HasSubstr("Segment muss zwischen 0 und 255 liegen, nicht: x"));

  // --help and --version on stdout; --opt=value and -- are understood.
  const CliRun help = RunCli({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_THAT(help.out.toStdString(), HasSubstr("128+N"));
  const CliRun version = RunCli({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_TRUE(version.out.startsWith("vellamo-cli 2.")) << version.out.toStdString();
  const CliRun status = RunCli({"--json", "--port=" + device.Port(), "--", "status"});
  EXPECT_EQ(status.exitCode, 0);
  EXPECT_EQ(status.json.value("port").toString(), device.Port());
  // The status is the first the device ever heard.
  EXPECT_THAT(device.ReceivedSince(0, 4), ElementsAre("*", "A", "B", "{"));
}

TEST(Cli, ThePortIsNamedOrTheOnlyOneNeverAGuess) {
  QTemporaryDir runtime;
  const QProcessEnvironment env = WithRuntimeDir(runtime.path());
  const CliRun none = RunCli({"ports"}, {}, env);
  EXPECT_EQ(none.exitCode, 0);
  EXPECT_TRUE(none.out.isEmpty()) << "no ports: no line at all";
  EXPECT_EQ(RunCli({"--json", "status"}, {}, env).json.value("error").toString(), "no-device");

  Simulator first({"--name", "a-clock"}, runtime.path());
  const CliRun only = RunCli({"--json", "status"}, {}, env);
  EXPECT_EQ(only.exitCode, 0);
  EXPECT_TRUE(only.json.value("port").toString().endsWith("/a-clock"));
  EXPECT_THAT(only.err.toStdString(), HasSubstr("a-clock."));

  Simulator second({"--name", "B-clock"}, runtime.path());
  const qsizetype heardByFirst = first.Received().size();
  const CliRun two = RunCli({"--json", "status"}, {}, env);
  EXPECT_EQ(two.exitCode, 3);
  EXPECT_EQ(two.json.value("error").toString(), "ambiguous-port");
  EXPECT_EQ(two.json.value("ports").toArray().size(), 2);
  EXPECT_EQ(first.Received().size(), heardByFirst) << "nothing sent to either clock";
  EXPECT_TRUE(second.Received().isEmpty());
  const CliRun list = RunCli({"--json", "ports"}, {}, env);
  EXPECT_EQ(list.json.value("default").toString(), "");
  EXPECT_EQ(list.json.value("ports").toArray().size(), 2);
}

// "clock" and "Clock" are two files, so two clocks: none is guessed.
TEST(Cli, PortsWhoseNamesDifferOnlyInCaseAreTwoPorts) {
  QTemporaryDir runtime;
  const QProcessEnvironment env = WithRuntimeDir(runtime.path());
  Simulator lower({"--name", "clock"}, runtime.path());
  Simulator upper({"--name", "Clock"}, runtime.path());
  const CliRun list = RunCli({"--json", "ports"}, {}, env);
  EXPECT_EQ(list.json.value("ports").toArray().size(), 2) << list.out.toStdString();
  const CliRun status = RunCli({"--json", "status"}, {}, env);
  EXPECT_EQ(status.exitCode, 3);
  EXPECT_EQ(status.json.value("error").toString(), "ambiguous-port");
  EXPECT_TRUE(lower.Received().isEmpty());
  EXPECT_TRUE(upper.Received().isEmpty());
}

// A device that answers every query 1.5 s late, half a second past the
// query's time-out: each call fails, and none takes what the device still
// sends for an earlier query, its own or the previous call's (light 300,
// audio 77).
TEST(Cli, StatusAgainstADeviceThatAnswersLateFailsEveryTimeAndNeverShowsAnEarlierQuerysReading) {
  Simulator late(
      {"--no-announce", "--light", "300", "--audio", "77", "--delay", "A=1500", "--delay", "B=1500"});
  for (int call = 1; call <= 2; ++call) {
    SCOPED_TRACE(call);
    const CliRun run = RunCli({"--json", "--port", late.Port(), "status"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_FALSE(run.json.value("ok").toBool(true));
    EXPECT_EQ(run.json.value("error").toString(), "no-answer");
    EXPECT_FALSE(run.json.contains("light") || run.json.contains("audio"));
  }
}

TEST(Cli, NoDeviceNoAnswerAndASignalHaveTheirExitCodes) {
  QTemporaryDir folder;
  const CliRun gone = RunCli({"--json", "--port", folder.filePath("nothing"), "status"});
  EXPECT_EQ(gone.exitCode, 2);
  EXPECT_EQ(gone.json.value("error").toString(), "no-device");
  EXPECT_THAT(gone.json.value("message").toString().toStdString(),
              HasSubstr(folder.filePath("nothing").toStdString()));

  Simulator mute({"--no-announce", "--no-answer", "B"});
  const CliRun silent = RunCli({"--json", "--port", mute.Port(), "status"});
  EXPECT_EQ(silent.exitCode, 2);
  EXPECT_EQ(silent.json.value("error").toString(), "no-answer");

  Simulator slow({"--no-announce", "--delay", "A=60000"});
  const CliRun interrupted = RunCli({"--json", "--port", slow.Port(), "status"}, [&](QProcess& cli) {
    ASSERT_TRUE(ProcessUntil([&] { return slow.Received().contains("A"); }, kFaultMs));
    Signal(cli, SIGINT);
  });
  EXPECT_EQ(interrupted.exitCode, 130);
  EXPECT_EQ(interrupted.json.value("error").toString(), "interrupted");
  EXPECT_EQ(interrupted.json.value("signal").toString(), "SIGINT");
  EXPECT_TRUE(ProcessUntil([&] { return slow.Received().endsWith("{"); }, kFaultMs));
}

// Started with standard descriptors closed, the tool reads and reports as
// with them open: nothing it opens later takes their numbers.
TEST(Cli, StandardDescriptorsClosedAtStartAreOpenedOnDevNull) {
  Simulator device({"--no-announce"});
  const char* const closings[] = {"<&-", ">&-", "2>&-", "<&- >&- 2>&-"};
  for (const char* closing : closings) {
    SCOPED_TRACE(closing);
    const qsizetype mark = device.Received().size();
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"),
                {"-c", QStringLiteral("exec \"$0\" --json --port \"$1\" status %1").arg(closing),
                 QStringLiteral(VELLAMO_CLI_PROGRAM), device.Port()});
    ASSERT_TRUE(shell.waitForFinished(kFaultMs));
    const CliRun run = Collect(shell);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_THAT(device.ReceivedSince(mark, 4), ElementsAre("*", "A", "B", "{"));
  }
}

// The clean-up first (the clock leaves its test and service mode), then the
// tool ends by the signal itself.
TEST(Cli, ASignalEndsTheToolBySignalAfterTheCleanUp) {
  Simulator device({"--no-announce"});
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(SignalName(signal).toStdString());
    const qsizetype mark = device.Received().size();
    const CliRun run = RunCli({"--json", "--port", device.Port(), "rtc", "on"}, [&](QProcess& cli) {
      ASSERT_TRUE(ProcessUntil([&] { return device.Received().mid(mark).contains("D"); }, kFaultMs));
      Signal(cli, signal);
    });
    EXPECT_TRUE(run.bySignal);
    EXPECT_EQ(run.exitCode, 128 + signal);
    EXPECT_EQ(run.json.value("error").toString(), "interrupted");
    EXPECT_EQ(run.json.value("signal").toString(), SignalName(signal));
    EXPECT_THAT(device.ReceivedSince(mark, 4), ElementsAre("*", "D", "E", "{"));
  }
}

// A signal ignored by whoever started the tool (a script's background job
// ignores SIGINT, nohup SIGHUP) does not end it; the next one does.
TEST(Cli, ASignalIgnoredAtStartStaysIgnored) {
  Simulator device({"--no-announce"});
  struct Case {
    const char* trapped;  // as the shell's trap names it
    int ignored;
    int then;
  };
  const Case cases[] = {{"INT", SIGINT, SIGTERM}, {"TERM", SIGTERM, SIGINT}, {"HUP", SIGHUP, SIGINT}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trapped);
    const qsizetype mark = device.Received().size();
    QProcess cli;
    cli.start(QStringLiteral("/bin/sh"),
              {"-c", QStringLiteral("trap '' %1; exec \"$0\" --json --port \"$1\" rtc on").arg(c.trapped),
               QStringLiteral(VELLAMO_CLI_PROGRAM), device.Port()});
    ASSERT_TRUE(ProcessUntil([&] { return device.Received().mid(mark).contains("D"); }, kFaultMs));
    // Pending together, the lower number is delivered first; either way the
    // ignored one would name the end if it were caught.
    Signal(cli, c.ignored);
    Signal(cli, c.then);
    ASSERT_TRUE(cli.waitForFinished(kFaultMs));
    const CliRun run = Collect(cli);
    EXPECT_EQ(run.json.value("signal").toString(), SignalName(c.then));
    EXPECT_EQ(run.exitCode, 128 + c.then);
  }
}

// A terminal's Ctrl+C reaches the script and the command it waits for; the
// command ends by the signal, so the script ends too and runs nothing more.
TEST(Cli, CtrlCDuringACommandStopsTheScriptThatRunsIt) {
  Simulator slow({"--no-announce", "--delay", "A=60000"});
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("PORT", slow.Port());
  const CliRun script =
      RunShellJob(QStringLiteral("for i in 1 2 3; do \"$CLI\" --port \"$PORT\" status; echo rc=$?; done"),
                  env, [&](pid_t group) {
                    ASSERT_TRUE(ProcessUntil([&] { return slow.Received().contains("A"); }, kFaultMs));
                    ::kill(-group, SIGINT);
                  });
  EXPECT_FALSE(script.out.contains("rc=")) << script.out.toStdString();
  EXPECT_EQ(script.exitCode, 130);
  EXPECT_EQ(slow.Received().count("*"), 1) << "no second call";
  EXPECT_TRUE(ProcessUntil([&] { return slow.Received().endsWith("{"); }, kFaultMs));
}

// A line acts differently on each: plug the clock in, close the other
// program, look at the clock that answers nonsense, replug a silent one.
TEST(Cli, MissingBusyMisansweringAndSilentClocksHaveTheirOwnCodes) {
  QTemporaryDir folder;
  Simulator held({"--no-announce"});
  Simulator refusing({"--no-announce", "--answer", "A=-"});
  Simulator garbling({"--no-announce", "--answer", "B=xyz"});
  Simulator mute({"--no-announce", "--no-answer", "B"});
  // Another run holds its port until it is ended.
  QProcess holder;
  holder.start(QStringLiteral(VELLAMO_CLI_PROGRAM), {"--port", held.Port(), "rtc", "on"});
  ASSERT_TRUE(ProcessUntil([&] { return held.Received().contains("D"); }, kFaultMs));
  struct Case {
    const char* name;
    QString port;
    int exitCode;
    const char* error;
    const char* answer;  // nullptr: no answer member
    const char* said;
  };
  const Case cases[] = {
      {"missing", folder.filePath("nothing"), 2, "no-device", nullptr, "gibt es nicht"},
      {"held by another run", held.Port(), 4, "port-busy", nullptr, "belegt"},
      {"refuses a reading", refusing.Port(), 5, "unexpected-answer", "-", "\"-\""},
      {"answers text", garbling.Port(), 5, "unexpected-answer", "xyz", "\"xyz\""},
      {"silent", mute.Port(), 2, "no-answer", nullptr, "Keine Antwort"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CliRun run = RunCli({"--json", "--port", c.port, "status"});
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.json.value("error").toString(), c.error);
    EXPECT_EQ(run.json.contains("answer"), c.answer != nullptr);
    if (c.answer) {
      EXPECT_EQ(run.json.value("answer").toString(), c.answer);
    }
    EXPECT_THAT(run.json.value("message").toString().toStdString(), HasSubstr(c.said));
  }
  Signal(holder, SIGTERM);
  ASSERT_TRUE(holder.waitForFinished(kFaultMs));
}

// rtc and watch run until they are ended: a hang-up, a closed output, an
// unplug. Each leaves the clock as the test dialog's hiding does.
TEST(Cli, HangUpClosedOutputAndUnplugEndRtcAndWatchAsTheTestDialogEnds) {
  Simulator device({"--no-announce"});
  const CliRun rtc = RunCli({"--json", "--port", device.Port(), "rtc", "on"}, [&](QProcess& cli) {
    ASSERT_TRUE(ProcessUntil([&] { return device.Received().contains("D"); }, kFaultMs));
    Signal(cli, SIGHUP);
  });
  EXPECT_EQ(rtc.exitCode, 129);
  EXPECT_EQ(rtc.json.value("signal").toString(), "SIGHUP");
  EXPECT_THAT(device.ReceivedSince(0, 4), ElementsAre("*", "D", "E", "{"));

  // Readings start one interval apart, each with its time; a reader that
  // goes away (head -n3) ends the watch with 141 and the clock out of service mode.
  const int interval = 1500;
  QString read;
  const CliRun watch = RunCliInto(
      {"--json", "--port", device.Port(), "--interval", QString::number(interval), "watch"}, "head -n3",
      [](QProcess&, QProcess&) {}, read);
  EXPECT_EQ(watch.exitCode, 141);
  QList<QDateTime> times;
  for (const QString& line : read.split('\n', Qt::SkipEmptyParts))
    times << QDateTime::fromString(QJsonDocument::fromJson(line.toUtf8()).object().value("time").toString(),
                                   Qt::ISODateWithMs);
  ASSERT_EQ(times.size(), 3) << read.toStdString();
  for (qsizetype i = 1; i < times.size(); ++i) {
    ASSERT_TRUE(times[i].isValid());
    const qint64 gap = times[i - 1].msecsTo(times[i]);
    EXPECT_GE(gap, interval - 20) << "reading " << i;
    // A reading takes about 0.5 s; spaced after it instead of from its start, the gap would be 2 s.
    EXPECT_LT(gap, interval + 400) << "reading " << i;
  }
  EXPECT_TRUE(ProcessUntil([&] { return device.Received().endsWith("{"); }, kFaultMs));

  // A silent clock: every reading fails and says so; the signal still ends
  // the watch as itself, so that a script stops too.
  Simulator mute({"--no-announce", "--no-answer", "A"});
  const CliRun failing = RunCli({"--json", "--port", mute.Port(), "watch"}, [&](QProcess& cli) {
    ASSERT_TRUE(cli.waitForReadyRead(kFaultMs));
    Signal(cli, SIGINT);
  });
  EXPECT_EQ(failing.exitCode, 130);
  EXPECT_TRUE(failing.bySignal);
  ASSERT_FALSE(failing.objects.isEmpty());
  EXPECT_EQ(failing.objects.first().value("error").toString(), "no-answer");

  // Unplugged: named once, at once, exit 2.
  Simulator pulled({"--no-announce"});
  QElapsedTimer sinceUnplug;
  const CliRun unplugged = RunCli({"--json", "--port", pulled.Port(), "watch"}, [&](QProcess& cli) {
    ASSERT_TRUE(cli.waitForReadyRead(kFaultMs));
    pulled.Unplug();
    sinceUnplug.start();
    ASSERT_TRUE(cli.waitForFinished(kFaultMs)) << "the watch goes on without its clock";
    std::printf("watch ended %lld ms after the unplug\n", static_cast<long long>(sinceUnplug.elapsed()));
  });
  EXPECT_EQ(unplugged.exitCode, 2);
  EXPECT_EQ(unplugged.json.value("error").toString(), "device-gone");
  qsizetype goneReports = 0;
  for (const QJsonObject& object : unplugged.objects) goneReports += object.value("error") == "device-gone";
  EXPECT_EQ(goneReports, 1);
}

const char kGoodImage[] =
    ":10010000214601360121470136007EFE09D2190140\n"
    ":100110002146017E17C20001FF5F16002148011928\n"
    ":00000001FF\n";

// The firmware hand-over from a program folder of the test's own, so that its
// firmware folder is this test's, with a flashing tool "fboot" on the PATH and
// port guards apart from any other's.
class CliFirmware : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QDir(root.path()).mkpath("program/firmware") && QDir(root.path()).mkpath("tools") &&
                QDir(root.path()).mkpath("locks"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(VELLAMO_CLI_PROGRAM), program));
    ASSERT_TRUE(QFile::copy(QStringLiteral(VELLAMO_SOURCE_DATA "firmware/update.bat"),
                            root.filePath("program/firmware/update.bat")));
    ASSERT_TRUE(QFile::copy(QStringLiteral(VELLAMO_FAKE_FBOOT), root.filePath("tools/fboot")));
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(kGoodImage);
  }
  void TearDown() override {
    // A tool still held by a failed test is let go.
    QFile(Firmware("release")).open(QIODevice::WriteOnly);
  }
  QString Firmware(const QString& name) const { return root.filePath("program/firmware/" + name); }
  // The environment of a run: the tool on the PATH (or not), and `more`.
  QProcessEnvironment Env(const QStringList& more = {}, bool withTool = true) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", (withTool ? root.filePath("tools") + ":" : QString()) + "/usr/bin:/bin");
    env.insert("VELLAMO_LOCK_DIR", root.filePath("locks"));
    for (const QString& setting : more) env.insert(setting.section('=', 0, 0), setting.section('=', 1));
    return env;
  }
  void InstallTool(const QByteArray& script) {
    QFile tool(root.filePath("tools/fboot"));
    ASSERT_TRUE(tool.open(QIODevice::WriteOnly | QIODevice::Truncate));
    tool.write(script);
  }

  QTemporaryDir root;
  const QString program = root.filePath("program/vellamo-cli");
  const QString image = root.filePath("clock.hex");
  Simulator device{{"--no-announce"}};
};

// The hand-over script's exit status is the outcome.
TEST_F(CliFirmware, EndsWithTheHandOverScriptsOutcome) {
  // The unplug is over once the simulator's pty has gone with it.
  InstallTool(
      "#!/bin/sh\n"
      "if [ -n \"$UNPLUG_PID\" ]; then kill -9 \"$UNPLUG_PID\"; while [ -e \"$1\" ]; do sleep 0.05; done; "
      "fi\n"
      "exit \"${FBOOT_STATUS:-0}\"\n");
  const auto run = [&](bool withTool, const QString& status, qint64 unplug = 0) {
    QStringList more{"FBOOT_STATUS=" + status};
    if (unplug) more << "UNPLUG_PID=" + QString::number(unplug);
    return RunCli({"--json", "--port", device.Port(), "firmware", image}, {}, Env(more, withTool), program);
  };
  const CliRun missingTool = run(false, "0");
  EXPECT_EQ(missingTool.exitCode, 1);
  EXPECT_EQ(missingTool.json.value("error").toString(), "script-failed");
  EXPECT_EQ(missingTool.json.value("status").toInt(), 127);
  EXPECT_THAT(missingTool.json.value("message").toString().toStdString(), HasSubstr("update.log"));

  const CliRun failing = run(true, "3");
  EXPECT_EQ(failing.exitCode, 1);
  EXPECT_EQ(failing.json.value("status").toInt(), 3);

  // One wrong checksum: refused before the port is opened or the script started.
  QFile bad(root.filePath("bad.hex"));
  ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
  bad.write(QByteArray(kGoodImage).replace("1928\n", "1929\n"));
  bad.close();
  QFile::remove(Firmware("update.log"));
  const qsizetype heard = device.Received().size();
  const CliRun refused =
      RunCli({"--json", "--port", device.Port(), "firmware", bad.fileName()}, {}, Env(), program);
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_EQ(refused.json.value("error").toString(), "bad-image");
  EXPECT_EQ(refused.json.value("line").toInt(), 2);
  EXPECT_THAT(refused.json.value("reason").toString().toStdString(), HasSubstr("Prüfsumme"));
  EXPECT_FALSE(QFileInfo::exists(Firmware("update.log"))) << "the script started";
  EXPECT_EQ(device.Received().size(), heard);

  const CliRun flashed = run(true, "0");
  EXPECT_EQ(flashed.exitCode, 0);
  EXPECT_TRUE(flashed.json.value("ok").toBool());

  const CliRun notBack = run(true, "0", device.Pid());
  EXPECT_EQ(notBack.exitCode, 2);
  EXPECT_EQ(notBack.json.value("error").toString(), "no-device");
}

// A process that still runs: not gone, and not a zombie waiting for its parent.
bool Running(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray line = stat.readAll();
  return line.mid(line.lastIndexOf(')') + 2, 1) != "Z";
}

qint64 ToolPid(const QString& started) {
  QFile file(started);
  return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong() : 0;
}

// While the tool writes, another run on that port is refused with its own
// code, and the clock hears nothing until the tool has ended.
TEST_F(CliFirmware, AnotherRunIsRefusedWhileTheToolWrites) {
  QStringList heardWhileWriting{"(not looked at)"};
  CliRun probe;
  const CliRun flashed = RunCli(
      {"--json", "--port", device.Port(), "firmware", image},
      [&](QProcess&) {
        ASSERT_TRUE(ProcessUntil([&] { return QFileInfo::exists(Firmware("fboot-started")); }, kFaultMs));
        const qsizetype before = device.Received().size();
        probe = RunCli({"--json", "--port", device.Port(), "status"}, {}, Env());
        heardWhileWriting = device.Received().mid(before);
        QFile(Firmware("release")).open(QIODevice::WriteOnly);
      },
      Env({"FAKE_FLASH_HOLD=" + Firmware("release")}), program);
  EXPECT_EQ(probe.exitCode, 7);
  EXPECT_EQ(probe.json.value("error").toString(), "firmware-being-written");
  EXPECT_THAT(probe.json.value("message").toString().toStdString(),
              HasSubstr("Die Firmware des Geräts wird gerade geschrieben"));
  EXPECT_TRUE(heardWhileWriting.isEmpty()) << heardWhileWriting.join(' ').toStdString();
  EXPECT_EQ(flashed.exitCode, 0) << flashed.out.toStdString() << flashed.err.toStdString();
  // Afterwards the port is free again.
  EXPECT_EQ(RunCli({"--port", device.Port(), "status"}, {}, Env()).exitCode, 0);
}

// "timeout 1.5 vellamo-cli firmware": the signal goes on to the tool, and
// the command ends only after it, naming the tool's ending; a tool that
// ignores it is left running, and the command says so with its own code.
TEST_F(CliFirmware, ASignalGoesOnToTheToolAndIsWaitedFor) {
  struct Case {
    const char* rule;
    QStringList tool;  // the fake tool's settings
    int exitCode;
    const char* error;
    bool toolLeft;
  };
  const Case cases[] = {
      {"a tool that stops when told", {}, 143, "interrupted", false},
      {"a tool that ignores signals", {"FAKE_FLASH_IGNORE_SIGNALS=1"}, 8, "still-writing", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    QFile::remove(Firmware("fboot-started"));
    QFile::remove(Firmware("release"));
    QElapsedTimer took;
    took.start();
    QProcess cli;
    cli.setProcessEnvironment(Env(QStringList{"FAKE_FLASH_HOLD=" + Firmware("release")} + c.tool));
    // The command's own exit code, not timeout's 124.
    cli.start("/usr/bin/timeout",
              {"--preserve-status", "1.5", program, "--json", "--port", device.Port(), "firmware", image});
    ASSERT_TRUE(cli.waitForFinished(kFaultMs));
    const CliRun run = Collect(cli);
    const qint64 tool = ToolPid(Firmware("fboot-started"));
    ASSERT_GT(tool, 0) << "the tool never started";
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.json.value("error").toString().toStdString(), c.error) << run.out.toStdString();
    EXPECT_EQ(run.json.value("signal").toString(), "SIGTERM");
    EXPECT_EQ(Running(tool), c.toolLeft);
    if (c.toolLeft) {
      EXPECT_THAT(run.json.value("message").toString().toStdString(), HasSubstr("das Gerät nicht abziehen"));
      EXPECT_GE(took.elapsed(), 1500 + kToolGraceAfterSignalMs - 500);
      // Its guard lasts as long as it runs.
      EXPECT_EQ(RunCli({"--port", device.Port(), "status"}, {}, Env()).exitCode, 7);
      QFile(Firmware("release")).open(QIODevice::WriteOnly);
      EXPECT_TRUE(ProcessUntil([&] { return !Running(tool); }, kFaultMs));
    } else {
      EXPECT_EQ(run.json.value("toolStatus").toInt(), 143);
    }
  }
}

TEST_F(CliFirmware, AResultThatCannotBeWrittenIsNoSuccess) {
  QProcess cli;
  cli.setProcessEnvironment(Env());
  cli.setStandardOutputFile("/dev/full");
  cli.start(program, {"--json", "--port", device.Port(), "firmware", image});
  ASSERT_TRUE(cli.waitForFinished(kFaultMs));
  EXPECT_EQ(cli.exitCode(), 1);
  EXPECT_THAT(QString::fromUtf8(cli.readAllStandardError()).toStdString(),
              HasSubstr("Die Ausgabe konnte nicht geschrieben werden"));
}

TEST(Cli, WithoutASoundServerACopyEndsBeforeTheClockIsTouched) {
  Simulator device({"--no-announce"});
  QTemporaryDir nowhere;
  QProcessEnvironment env = WithRuntimeDir(nowhere.path());
  env.remove("PULSE_SERVER");
  env.insert("HOME", nowhere.path());
  const CliRun run = RunCli({"--json", "--port", device.Port(), "copy", "Deutsch.ini"}, {}, env);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.json.value("error").toString(), "no-audio-output");
  EXPECT_LE(run.err.count('\n'), 1) << run.err.toStdString();
  EXPECT_EQ(RunCli({"--port", device.Port(), "status"}).exitCode, 0);
  EXPECT_THAT(device.ReceivedSince(0, 4), ElementsAre("*", "A", "B", "{")) << "the copy sent nothing";
}

// One table of exit codes: --help prints it, and the README and the manual
// page list every code in it.
TEST(ExitCodeTable, HelpReadmeAndManualPageListEveryCode) {
  const CliRun help = RunCli({"--help"});
  QFile readme(QStringLiteral(VELLAMO_SOURCE_DATA "../README.md"));
  QFile manual(QStringLiteral(VELLAMO_SOURCE_DATA "../packaging/vellamo-cli.1"));
  ASSERT_TRUE(readme.open(QIODevice::ReadOnly) && manual.open(QIODevice::ReadOnly));
  const QString readmeText = QString::fromUtf8(readme.readAll());
  const QString manualText = QString::fromUtf8(manual.readAll());
  for (const ExitCodeRow& row : kExitCodeTable) {
    const QString code = QString::fromLatin1(row.code);
    SCOPED_TRACE(code.toStdString());
    const QString spaced = code == "128+N" ? QStringLiteral("128 + N") : code;
    EXPECT_TRUE(help.out.contains("  " + code.leftJustified(5) + "  " + QString::fromUtf8(row.meaning)));
    EXPECT_TRUE(readmeText.contains("| " + spaced + " |"));
    EXPECT_TRUE(manualText.contains("\n.B " + spaced + "\n"));
  }
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
  EXPECT_EQ(run.json.value("port").toString(), device.Port());
  EXPECT_GE(run.json.value("level").toInt(), 120);
  EXPECT_EQ(run.json.value("volume").toInteger(), qint64(before_)) << "the user's level";
  EXPECT_GE(run.json.value("trial-volume").toInteger(), 4096) << "the level the copy used";
  EXPECT_NE(run.json.value("trial-volume").toInteger(), qint64(before_));
  const QJsonArray entries = run.json.value("entries").toArray();
  ASSERT_EQ(entries.size(), 2);
  EXPECT_EQ(entries[1].toObject().value("entry").toString(), "soundset\\wecker_piep.wav");
  EXPECT_EQ(entries[1].toObject().value("verdict").toString(), "accepted");
  ProcessUntil([&] { return device.Received().endsWith("{"); }, kFaultMs);
  const QStringList tail = device.Received().mid(device.Received().lastIndexOf("G"));
  EXPECT_THAT(tail, ElementsAre("G", "I", "J", "I", "J", "H", "K", "{"));
  EXPECT_EQ(GetOutputVolume(), before_);
  EXPECT_FALSE(run.err.contains("Eintrag")) << "a log gets the status lines, not the terminal's progress";
  EXPECT_TRUE(run.err.contains("Status: Kopiere... (speechset\\deutsch\\acht.wav)")) << run.err.toStdString();
}

// The sound server stops answering while the clock processes: the user's level
// cannot be put back, whatever the clock said. That comes before every other
// outcome, with the level to set by hand in the JSON and on stderr.
TEST_F(CliCopy, AVolumeThatCannotBePutBackEndsWithNineAndTheLevelToSetByHand) {
  const pid_t server = SoundServerProcess("pulse/native");
  ASSERT_GT(server, 0);
  struct Resume {
    pid_t server;
    ~Resume() { ::kill(server, SIGCONT); }
  } resume{server};
  Simulator device({"--no-announce", "--hear", "--processing-time", "200"});
  const CliRun run = RunCli(CopyArgs(device), [&](QProcess& cli) {
    ProcessUntil([&] { return device.Received().contains("H"); }, 60000);
    ::kill(server, SIGSTOP);
    cli.waitForFinished(120000);
    ::kill(server, SIGCONT);
  });
  EXPECT_EQ(run.exitCode, kExitVolumeNotRestored) << run.err.toStdString();
  EXPECT_EQ(run.json.value("error").toString(), "volume-not-restored");
  EXPECT_EQ(run.json.value("restore-volume").toInt(), 46) << "30000 of 65536";
  EXPECT_EQ(run.json.value("restore-muted").toBool(true), false);
  EXPECT_TRUE(run.err.contains("46 %")) << run.err.toStdString();
  EXPECT_TRUE(ProcessUntil([&] { return device.Received().endsWith("{"); }, kFaultMs))
      << "the clock is left as found all the same";
}

// A copy interrupted while the clock processes, and started again at once on
// the same clock: the late verdict of the first run ("-") still comes, and it
// belongs to that run. The second run knows it is owed (it is recorded beside
// the port), waits for it, saying so, and reports the clock's verdict on its own
// recordings ("+").
TEST_F(CliCopy, ACopyStartedRightAfterOneInterruptedDuringProcessingReportsItsOwnVerdict) {
  Simulator device({"--no-announce", "--hear", "--processing-time", "2500", "--answers", "K=-,+"});
  const CliRun first = RunCli(CopyArgs(device), [&](QProcess& cli) {
    ProcessUntil([&] { return device.Received().contains("K"); }, 60000);
    ::kill(static_cast<pid_t>(cli.processId()), SIGINT);
  });
  ASSERT_TRUE(device.Received().contains("K"));
  const CliRun second = RunCli(CopyArgs(device));
  EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
  EXPECT_TRUE(second.json.value("ok").toBool());
  EXPECT_TRUE(second.err.contains("Warte auf das Gerät")) << second.err.toStdString();
  EXPECT_EQ(GetOutputVolume(), before_);
}

// The CLI run with its standard error on a terminal (a pty), which is read
// while the run draws, as a terminal would; what it drew.
QByteArray DrawnOnTerminal(const QStringList& arguments, int& exitCode) {
  exitCode = -1;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return {};
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  if (terminal < 0) return {};
  fcntl(master, F_SETFL, O_NONBLOCK);
  QByteArray drawn;
  const auto drain = [&] {
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) drawn.append(buffer, n);
  };
  QProcess cli;
  cli.setChildProcessModifier([terminal] { dup2(terminal, STDERR_FILENO); });
  cli.start(QStringLiteral(VELLAMO_CLI_PROGRAM), arguments);
  QElapsedTimer running;
  running.start();
  if (cli.waitForStarted(kFaultMs))
    while (!cli.waitForFinished(50) && running.elapsed() < 120000) drain();
  drain();
  close(terminal);
  close(master);
  exitCode = Collect(cli).exitCode;
  return drawn;
}

// On a terminal the copy says which entry of how many it records, its name
// and the time left; into a pipe (a log) it writes its status lines only.
TEST_F(CliCopy, OnATerminalTheCopyShowsTheEntryOfHowManyItsNameAndTheTimeLeft) {
  Simulator device({"--no-announce", "--hear", "--processing-time", "200"});
  int exitCode = -1;
  const std::string text = QString::fromUtf8(DrawnOnTerminal(CopyArgs(device), exitCode)).toStdString();
  EXPECT_EQ(exitCode, 0);
  EXPECT_THAT(text, HasSubstr("Eintrag 1 von 2: speechset\\deutsch\\acht.wav"));
  EXPECT_THAT(text, HasSubstr("Eintrag 2 von 2: soundset\\wecker_piep.wav, noch etwa 0:"));
}

// A station's terminal shows one line per clock, named by its port, redrawn
// in place: where the run is, or why the clock left it.
TEST_F(CliCopy, OnATerminalAStationShowsOneLinePerClock) {
  Simulator going({"--no-announce", "--hear", "--processing-time", "200"});
  Simulator refusing({"--no-announce", "--hear", "--processing-time", "200", "--answer", "J=-"});
  QStringList arguments = CopyArgs(going);
  arguments.insert(1, "--port");
  arguments.insert(2, refusing.Port());
  int exitCode = -1;
  const std::string text = QString::fromUtf8(DrawnOnTerminal(arguments, exitCode)).toStdString();
  EXPECT_EQ(exitCode, kExitClocksDiffer);
  EXPECT_THAT(text, HasSubstr(going.Port().toStdString() + ": Eintrag 2 von 2: soundset\\wecker_piep.wav"));
  EXPECT_THAT(text, HasSubstr(refusing.Port().toStdString() + ": Fehler: Fehler beim Stoppen der Aufnahme."));
  EXPECT_THAT(text, HasSubstr("\033[1A")) << "the two lines drawn again in place";
}

// A refusal ("-") is the device's word: 1. An answer that is no verdict is
// the clock's, but not as asked: 5, with the answer. Neither run ends on a
// success line.
TEST_F(CliCopy, ARefusalAndAGarbledAnswerEndWithTheirCodesAndLeaveTheDeviceAsFound) {
  Simulator refusing({"--no-announce", "--hear", "--answer", "J=-", "--processing-time", "200"});
  const CliRun refused = RunCli(CopyArgs(refusing));
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.json.value("error").toString(), "stop-recording-failed");
  EXPECT_EQ(refused.json.value("answer").toString(), "-");
  EXPECT_TRUE(refused.json.value("message").toString().startsWith("Fehler beim Stoppen der Aufnahme."));
  EXPECT_THAT(refused.err.toStdString(), testing::Not(HasSubstr("erfolgreich")));
  ProcessUntil([&] { return refusing.Received().endsWith("{"); }, kFaultMs);
  EXPECT_EQ(refusing.Received().count("I"), 1) << "no further entry after the refusal";
  EXPECT_EQ(GetOutputVolume(), before_);

  Simulator garbling({"--no-announce", "--hear", "--answer", "I=xyz", "--processing-time", "200"});
  const CliRun garbled = RunCli(CopyArgs(garbling));
  EXPECT_EQ(garbled.exitCode, 5);
  EXPECT_EQ(garbled.json.value("error").toString(), "start-recording-failed");
  EXPECT_EQ(garbled.json.value("answer").toString(), "xyz");
  EXPECT_TRUE(ProcessUntil([&] { return garbling.Received().endsWith("{"); }, kFaultMs));
  EXPECT_EQ(GetOutputVolume(), before_);
}

// A station: one playback into several clocks, each a simulator on its own
// pty hearing the sink, its log stamped on the machine's monotonic clock. One
// case per rule: each clock's outcome and exit, the run's code, what every
// clock was sent, the volume back once, and the "I" of every entry reaching
// all clocks together (the goal is 20 ms; the bound here is generous).
struct StationCase {
  const char* rule;
  std::vector<QStringList> clocks;  // each clock's own simulator options
  std::vector<const char*> errors;  // each clock's outcome: "" success, else its error
  int exitCode;
  int pulled = -1;  // the clock unplugged at its second "I"
  int slow = -1;    // the clock whose "I" answers come late or never
  int absent = -1;  // the clock whose port does not exist
};

class CliStation : public CliCopy, public testing::WithParamInterface<StationCase> {};

// The times ("I", "J") a clock's log stamps its commands with, in seconds.
std::vector<double> TimesOf(const QString& log, const QString& command) {
  std::vector<double> times;
  const QRegularExpression rx(QStringLiteral(R"(^(\d+\.\d+) rx %1\b)").arg(QRegularExpression::escape(command)),
                              QRegularExpression::MultilineOption);
  for (auto match = rx.globalMatch(log); match.hasNext();) times.push_back(match.next().captured(1).toDouble());
  return times;
}

TEST_P(CliStation, EachClockEndsAsASingleCopyWouldAndTheOthersGoOn) {
  const StationCase& c = GetParam();
  QTemporaryFile set;
  ASSERT_TRUE(set.open());
  set.write("deutsch\\acht.wav\r\ndeutsch\\drei.wav\r\ndeutsch\\elf.wav\r\n");
  set.flush();
  std::vector<std::unique_ptr<Simulator>> clocks;
  QStringList arguments{"--json"};
  for (size_t i = 0; i < c.clocks.size(); ++i) {
    clocks.push_back(std::make_unique<Simulator>(
        QStringList{"--no-announce", "--hear", "--monotonic-times", "--processing-time", "300"} + c.clocks[i]));
    arguments << "--port" << (int(i) == c.absent ? QStringLiteral("/dev/pts/vellamo-absent") : clocks.back()->Port());
  }
  arguments << "copy" << set.fileName();
  const CliRun run = RunCli(arguments, [&](QProcess& cli) {
    if (c.pulled >= 0) {
      ASSERT_TRUE(ProcessUntil([&] { return clocks[c.pulled]->Received().count("I") >= 2; }, 90000));
      clocks[c.pulled]->Unplug();
    }
    cli.waitForFinished(240000);
  });
  EXPECT_EQ(run.exitCode, c.exitCode) << run.err.toStdString();
  ASSERT_EQ(run.objects.size(), qsizetype(c.clocks.size() + 1)) << run.out.toStdString();
  const QJsonObject summary = run.objects.last();
  EXPECT_TRUE(summary.value("summary").toBool());
  EXPECT_EQ(summary.value("exit").toInt(), c.exitCode);
  EXPECT_EQ(GetOutputVolume(), before_) << "the user's volume back, exactly";
  std::vector<std::vector<double>> starts;
  std::set<int> volumes;  // of the clocks that succeeded
  for (size_t i = 0; i < clocks.size(); ++i) {
    SCOPED_TRACE("clock " + std::to_string(i));
    const QJsonObject clock = run.objects[qsizetype(i)];
    if (int(i) == c.absent) {
      EXPECT_EQ(clock.value("port").toString(), "/dev/pts/vellamo-absent");
      EXPECT_EQ(clock.value("error").toString(), "no-device");
      EXPECT_EQ(clock.value("exit").toInt(), kExitNoDevice);
      continue;
    }
    EXPECT_EQ(clock.value("port").toString(), clocks[i]->Port());
    const QString error = QString::fromLatin1(c.errors[i]);
    EXPECT_EQ(clock.value("ok").toBool(), error.isEmpty()) << QJsonDocument(clock).toJson().toStdString();
    EXPECT_EQ(clock.value("error").toString(), error);
    if (int(i) == c.pulled) {
      EXPECT_THAT(clock.value("message").toString().toStdString(), HasSubstr("deutsch\\drei.wav"))
          << "the entry the clock missed";
      continue;
    }
    ProcessUntil([&] { return clocks[i]->Received().endsWith("{"); }, kFaultMs);
    const QStringList received = clocks[i]->Received();
    const QStringList tail = received.mid(received.lastIndexOf("*"));
    if (error.isEmpty()) {
      EXPECT_GE(clock.value("level").toInt(), 120) << "every clock hears enough";
      volumes.insert(clock.value("trial-volume").toInt());
      EXPECT_THAT(tail.mid(tail.indexOf("G")), ElementsAre("G", "I", "J", "I", "J", "I", "J", "H", "K", "{"));
    } else if (error == "stop-recording-failed") {
      EXPECT_THAT(tail.mid(tail.indexOf("G")), ElementsAre("G", "I", "J", "I", "J", "H", "K", "{"))
          << "no further entry, its recordings processed";
    } else if (error == "start-recording-failed") {
      EXPECT_THAT(tail.mid(tail.indexOf("G")), ElementsAre("G", "I", "H", "{")) << "out at its first entry";
    } else if (error == "no-signal") {
      EXPECT_FALSE(tail.contains("G"));
      EXPECT_FALSE(tail.contains("H"));
      EXPECT_EQ(tail.last(), "{");
    }
    clocks[i]->Received();
    starts.push_back(TimesOf(clocks[i]->Log(), "I"));
    // The words are 0.39 to 0.45 s long: a clock that waited for a silent
    // clock's answer would stop 0.9 s after its start or later.
    if (c.slow >= 0 && int(i) != c.slow && error.isEmpty() && !kSanitizedBuild) {
      const std::vector<double> stops = TimesOf(clocks[i]->Log(), "J");
      ASSERT_EQ(stops.size(), starts.back().size());
      for (size_t entry = 0; entry < stops.size(); ++entry)
        EXPECT_LT((stops[entry] - starts.back()[entry]) * 1000, 650) << "\"J\" of entry " << entry + 1;
    }
  }
  EXPECT_EQ(volumes.size(), 1u) << "one volume for all";
  for (size_t entry = 0; entry < 3; ++entry) {
    double first = 1e18, last = -1e18;
    for (const std::vector<double>& times : starts)
      if (times.size() > entry) {
        first = std::min(first, times[entry]);
        last = std::max(last, times[entry]);
      }
    if (last >= first && !kSanitizedBuild) {
      EXPECT_LT((last - first) * 1000, 100) << "\"I\" of entry " << entry + 1;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Copies, CliStation,
    testing::Values(
        StationCase{.rule = "ThreeClocksAllSucceed", .clocks = {{}, {}, {}}, .errors = {"", "", ""}, .exitCode = kExitOk},
        StationCase{.rule = "OneNeedsAHigherLevel",
                    .clocks = {{}, {"--hear-full", "400"}, {}},
                    .errors = {"", "", ""},
                    .exitCode = kExitOk},
        StationCase{.rule = "OneRefusesTheSecondStop",
                    .clocks = {{}, {"--answers", "J=+,-"}, {}},
                    .errors = {"", "stop-recording-failed", ""},
                    .exitCode = kExitClocksDiffer},
        StationCase{.rule = "OneOfFourUnpluggedMidCopy",
                    .clocks = {{}, {}, {}, {}},
                    .errors = {"", "", "device-gone", ""},
                    .exitCode = kExitClocksDiffer,
                    .pulled = 2},
        StationCase{.rule = "OneNeverReaches120",
                    .clocks = {{}, {}, {"--hear-full", "100"}},
                    .errors = {"", "", "no-signal"},
                    .exitCode = kExitClocksDiffer},
        // The port reads an answer 175 to 330 ms after it came: this one is
        // read after the word's end and well within its time-out.
        StationCase{.rule = "OneAnswersItsStartsLate",
                    .clocks = {{}, {"--delay", "I=350"}, {}},
                    .errors = {"", "", ""},
                    .exitCode = kExitOk,
                    .slow = 1},
        StationCase{.rule = "OneNeverAnswersItsStart",
                    .clocks = {{}, {"--no-answer", "I"}, {}},
                    .errors = {"", "start-recording-failed", ""},
                    .exitCode = kExitClocksDiffer,
                    .slow = 1},
        StationCase{.rule = "OnePortDoesNotOpen",
                    .clocks = {{}, {}, {}},
                    .errors = {"no-device", "", ""},
                    .exitCode = kExitClocksDiffer,
                    .absent = 0}),
    [](const testing::TestParamInfo<StationCase>& info) { return std::string(info.param.rule); });

// The station's goal figures, with bounds several times the goals' own: a
// station of four clocks takes at most twice the time of one clock (the goal:
// eight in 1.15 times), and every clock hears every word whole, its span of
// sound within 50 ms of the file's (the goal: 10 ms). Words with sharp edges
// (a tone between silences), so that the span does not hang on the level.
TEST_F(CliCopy, AStationOfFourTakesLittleLongerThanOneClockAndEveryClockHearsEveryWordWhole) {
  if (kSanitizedBuild) GTEST_SKIP() << "a bound on time";
  QTemporaryDir folder;
  ProbeWords words;
  ASSERT_TRUE(MakeProbeWords(folder.path(), 3, 250, int(devsim::HearingOptions{}.silenceThreshold * 32768.0),
                             words, 400, 100));
  const QString program = folder.filePath("vellamo-cli");
  ASSERT_TRUE(QFile::copy(QStringLiteral(VELLAMO_CLI_PROGRAM), program));
  QFile set(folder.filePath("speechset/probe.ini"));
  ASSERT_TRUE(set.open(QIODevice::WriteOnly));
  // The set names its words from the speechset folder.
  for (const QString& entry : words.entries) set.write(entry.mid(entry.indexOf('\\') + 1).toUtf8() + "\r\n");
  set.close();
  static const QRegularExpression heardRx(QStringLiteral(R"(heard recording (\d+): sound for (\d+\.\d+) s)"));
  std::vector<double> seconds;
  for (const int count : {1, 4}) {
    SCOPED_TRACE(std::to_string(count) + " clocks");
    std::vector<std::unique_ptr<Simulator>> clocks;
    QStringList arguments{"--json"};
    for (int i = 0; i < count; ++i) {
      clocks.push_back(
          std::make_unique<Simulator>(QStringList{"--no-announce", "--hear", "--processing-time", "300"}));
      arguments << "--port" << clocks.back()->Port();
    }
    arguments << "copy" << set.fileName();
    QElapsedTimer wall;
    wall.start();
    const CliRun run = RunCli(arguments, {}, QProcessEnvironment::systemEnvironment(), program);
    seconds.push_back(double(wall.elapsed()) / 1000);
    ASSERT_EQ(run.exitCode, kExitOk) << run.err.toStdString();
    for (int i = 0; i < count; ++i) {
      SCOPED_TRACE("clock " + std::to_string(i));
      std::vector<double> heard;
      ProcessUntil(
          [&] {
            heard.clear();
            for (auto match = heardRx.globalMatch(clocks[size_t(i)]->Log()); match.hasNext();)
              heard.push_back(match.next().captured(2).toDouble() * 1000);
            return heard.size() >= words.fileSpanMs.size();
          },
          kFaultMs);
      ASSERT_EQ(heard.size(), words.fileSpanMs.size()) << clocks[size_t(i)]->Log().toStdString();
      for (size_t word = 0; word < heard.size(); ++word)
        EXPECT_NEAR(heard[word], words.fileSpanMs[word], 50) << "word " << word + 1;
    }
  }
  EXPECT_LT(seconds[1] / seconds[0], 2.0) << seconds[0] << " s for one clock, " << seconds[1] << " s for four";
}

// The README's production-line loop, run as written: its block read from the
// README, the tool and a short "Deutsch.ini" in a program folder of its own,
// two clocks whose port names hold spaces. Ctrl+C (SIGINT to the job's whole
// process group, as a terminal sends it) ends the loop wherever it is.
class ReadmeLoop : public CliCopy {
 protected:
  void SetUp() override {
    CliCopy::SetUp();
    if (IsSkipped()) return;
    QFile readme(QStringLiteral(VELLAMO_SOURCE_DATA "../README.md"));
    ASSERT_TRUE(readme.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(readme.readAll());
    const qsizetype intro = text.indexOf("A production line that loads speech data");
    ASSERT_GE(intro, 0);
    const qsizetype start = text.indexOf("```bash\n", intro);
    ASSERT_GE(start, 0);
    const qsizetype end = text.indexOf("\n```", start + 8);
    loop_ = text.mid(start + 8, end - start - 8);

    ASSERT_TRUE(QDir(root_.path()).mkpath("program/speechset/deutsch") &&
                QDir(root_.path()).mkpath("program/soundset") &&
                QDir(root_.path()).mkpath("program/resources") && QDir(root_.path()).mkpath("runtime"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(VELLAMO_CLI_PROGRAM), root_.filePath("program/vellamo-cli")));
    for (const char* file :
         {"speechset/deutsch/acht.wav", "soundset/wecker_glocke.mp3", "resources/tone.mp3"})
      ASSERT_TRUE(QFile::copy(QStringLiteral(VELLAMO_SOURCE_DATA) + file, root_.filePath("program/") + file))
          << file;
    QFile set(root_.filePath("program/speechset/Deutsch.ini"));
    ASSERT_TRUE(set.open(QIODevice::WriteOnly));
    set.write("deutsch\\acht.wav\r\n");
    set.close();
    // The ports in a runtime folder of their own; the sound server found
    // by its address instead.
    QFile::setPermissions(root_.filePath("runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env_ = QProcessEnvironment::systemEnvironment();
    if (!env_.contains("PULSE_SERVER"))
      env_.insert("PULSE_SERVER", "unix:" + env_.value("XDG_RUNTIME_DIR") + "/pulse/native");
    env_.insert("XDG_RUNTIME_DIR", root_.filePath("runtime"));
    env_.insert("PATH", root_.filePath("program") + ":" + env_.value("PATH"));
    env_.insert("LINE", "Uhr ");
    first_ = std::make_unique<Simulator>(QStringList{"--name", "Uhr eins", "--processing-time", "200"},
                                         root_.filePath("runtime"));
    second_ = std::make_unique<Simulator>(QStringList{"--name", "Uhr zwei", "--processing-time", "200"},
                                          root_.filePath("runtime"));
  }
  CliRun RunLoop(const std::function<bool()>& interruptWhen) {
    return RunShellJob("cd '" + root_.path() + "'\n" + loop_, env_, [&](pid_t group) {
      ASSERT_TRUE(ProcessUntil(interruptWhen, 90000));
      ::kill(-group, SIGINT);
    });
  }
  QList<QJsonObject> Logged() {
    QFile log(root_.filePath("line.jsonl"));
    QList<QJsonObject> objects;
    if (!log.open(QIODevice::ReadOnly)) return objects;
    for (const QByteArray& line : log.readAll().split('\n'))
      if (!line.isEmpty()) objects << QJsonDocument::fromJson(line).object();
    return objects;
  }

  QTemporaryDir root_;
  QString loop_;
  QProcessEnvironment env_;
  std::unique_ptr<Simulator> first_;
  std::unique_ptr<Simulator> second_;
};

TEST_F(ReadmeLoop, CopiesEachClockWhosePortNameHasSpacesAndStopsOnCtrlC) {
  const CliRun loop = RunLoop(
      [&] { return first_->Received().contains("F 0x01") && second_->Received().contains("F 0x01"); });
  EXPECT_TRUE(loop.bySignal) << loop.err.toStdString();
  EXPECT_EQ(loop.exitCode, 130);
  EXPECT_FALSE(loop.err.contains("FEHLER")) << loop.err.toStdString();
  const QList<QJsonObject> logged = Logged();
  ASSERT_EQ(logged.size(), 2);
  EXPECT_TRUE(logged[0].value("ok").toBool());
  EXPECT_TRUE(logged[0].value("port").toString().endsWith("/Uhr eins"));
  EXPECT_TRUE(logged[1].value("port").toString().endsWith("/Uhr zwei"));
  EXPECT_EQ(GetOutputVolume(), before_);
}

TEST_F(ReadmeLoop, CtrlCDuringTheFirstCopyStopsTheLoopBeforeTheNextClock) {
  const CliRun loop = RunLoop([&] { return first_->Received().contains("I"); });
  EXPECT_TRUE(loop.bySignal) << loop.err.toStdString();
  EXPECT_FALSE(loop.err.contains("FEHLER")) << loop.err.toStdString();
  EXPECT_TRUE(ProcessUntil([&] { return first_->Received().endsWith("{"); }, kFaultMs));
  EXPECT_FALSE(first_->Received().contains("F 0x01")) << "no beep for an interrupted copy";
  EXPECT_TRUE(second_->Received().isEmpty()) << "the loop went on to the next clock";
  EXPECT_EQ(GetOutputVolume(), before_);
}

// One sound server, one copy: a second copy, in the tool or in the window, is
// refused before its clock hears a byte, and names the port of the copy that
// holds the sound output; the holder lets go at its end, whatever the end.
struct SoundOutputCase {
  const char* name;
  bool holderIsWindow;
  bool refusedIsWindow;
  bool holderSucceeds;  // else it is ended by SIGTERM
};

class CliSoundOutput : public CliCopy, public testing::WithParamInterface<SoundOutputCase> {
 protected:
  // The window's copy (copyquit_probe) or the tool's, on `device`.
  void Start(QProcess& process, bool window, const Simulator& device) {
    if (window) {
      process.start(QStringLiteral(VELLAMO_WINDOW_PROBE), {device.Port(), "speechset\\deutsch\\acht.wav"});
    } else {
      process.start(QStringLiteral(VELLAMO_CLI_PROGRAM), CopyArgs(device));
    }
    ASSERT_TRUE(process.waitForStarted(kFaultMs));
  }
};

TEST_P(CliSoundOutput, ASecondCopyIsRefusedBeforeItsClockHearsAByteAndNamesTheHoldersPort) {
  const SoundOutputCase& c = GetParam();
  // A verdict that takes a while: the refused copy is tried well before the holder ends.
  Simulator holding({"--no-announce", "--delay", c.holderSucceeds ? "K=15000" : "K=60000"});
  Simulator refused({"--no-announce"});
  QProcess holder;
  Start(holder, c.holderIsWindow, holding);
  ASSERT_TRUE(ProcessUntil([&] { return holding.Received().contains("G"); }, 60000));

  QProcess second;
  Start(second, c.refusedIsWindow, refused);
  if (c.refusedIsWindow) {
    QString said;
    ASSERT_TRUE(ProcessUntil(
        [&] {
          said += QString::fromUtf8(second.readAllStandardError());
          return said.contains("message box: Die Audioausgabe ist belegt");
        },
        kFaultMs))
        << said.toStdString();
    EXPECT_TRUE(said.contains(holding.Port())) << said.toStdString();
    Signal(second, SIGTERM);
    ASSERT_TRUE(second.waitForFinished(kFaultMs));
  } else {
    ASSERT_TRUE(second.waitForFinished(kFaultMs));
    const CliRun run = Collect(second);
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_EQ(run.json.value("error").toString(), "sound-busy");
    EXPECT_EQ(run.json.value("heldBy").toString(), holding.Port());
    EXPECT_EQ(run.json.value("port").toString(), refused.Port());
  }
  EXPECT_FALSE(holding.Received().contains("H")) << "the holder ended before the second copy was tried";

  if (!c.holderSucceeds) Signal(holder, SIGTERM);
  ASSERT_TRUE(holder.waitForFinished(60000));
  if (c.holderSucceeds) {
    EXPECT_EQ(Collect(holder).exitCode, 0);
  }
  EXPECT_TRUE(ProcessUntil([&] { return holding.Received().endsWith("{"); }, kFaultMs));
  EXPECT_EQ(GetOutputVolume(), before_);
  EXPECT_FALSE(refused.Received().contains("*")) << "the refused copy's clock heard nothing";
  EXPECT_EQ(SoundOutputHolder(), std::nullopt) << "let go at the end";
}

INSTANTIATE_TEST_SUITE_P(Copies, CliSoundOutput,
                         testing::Values(SoundOutputCase{"ToolHoldsToolRefused", false, false, true},
                                         SoundOutputCase{"WindowHoldsToolRefused", true, false, false},
                                         SoundOutputCase{"ToolHoldsWindowRefused", false, true, false}),
                         [](const testing::TestParamInfo<SoundOutputCase>& info) {
                           return std::string(info.param.name);
                         });

// A holder that dies without its clean-up does not keep the sound output.
TEST_F(CliCopy, ACopyKilledOnTheSpotLetsGoOfTheSoundOutput) {
  Simulator device({"--no-announce", "--delay", "K=60000"});
  QProcess cli;
  cli.start(QStringLiteral(VELLAMO_CLI_PROGRAM), CopyArgs(device));
  ASSERT_TRUE(ProcessUntil([&] { return device.Received().contains("G"); }, 60000));
  EXPECT_EQ(SoundOutputHolder(), device.Port());
  cli.kill();
  ASSERT_TRUE(cli.waitForFinished(kFaultMs));
  EXPECT_TRUE(ProcessUntil([] { return !SoundOutputHolder().has_value(); }, kFaultMs));
  SetOutputVolume(before_);  // killed, it could not put it back
}

// The lock is named after the sound server: the same server by any of its
// names is one lock, another server another.
TEST(SoundOutputLock, IsNamedAfterTheSoundServer) {
  struct Case {
    const char* pulseServer;
    const char* pulseRuntime;
    const char* runtime;
    bool same;  // as /r's default server
  };
  const Case cases[] = {
      {nullptr, nullptr, "/r", true},
      {"unix:/r/pulse/native", nullptr, "/elsewhere", true},
      {"/r/pulse/native", nullptr, nullptr, true},
      {nullptr, "/r/pulse", "/elsewhere", true},
      {nullptr, nullptr, "/s", false},
      {"tcp:localhost:4713", nullptr, "/r", false},
  };
  const QByteArray saved[] = {qgetenv("PULSE_SERVER"), qgetenv("PULSE_RUNTIME_PATH"),
                              qgetenv("XDG_RUNTIME_DIR")};
  const auto set = [](const char* name, const char* value) {
    if (value) {
      qputenv(name, value);
    } else {
      qunsetenv(name);
    }
  };
  set("PULSE_SERVER", nullptr);
  set("PULSE_RUNTIME_PATH", nullptr);
  set("XDG_RUNTIME_DIR", "/r");
  const std::string reference = SoundOutputLockName();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pulseServer ? c.pulseServer : "-") + " " +
                 (c.pulseRuntime ? c.pulseRuntime : "-") + " " + (c.runtime ? c.runtime : "-"));
    set("PULSE_SERVER", c.pulseServer);
    set("PULSE_RUNTIME_PATH", c.pulseRuntime);
    set("XDG_RUNTIME_DIR", c.runtime);
    EXPECT_EQ(SoundOutputLockName() == reference, c.same) << SoundOutputLockName();
  }
  set("PULSE_SERVER", saved[0].isNull() ? nullptr : saved[0].constData());
  set("PULSE_RUNTIME_PATH", saved[1].isNull() ? nullptr : saved[1].constData());
  set("XDG_RUNTIME_DIR", saved[2].isNull() ? nullptr : saved[2].constData());
}

struct CopyEnd {
  const char* name;
  // The CLI, the reader of its output (cat), the device.
  std::function<void(QProcess&, QProcess&, Simulator&)> end;
  int exitCode;
  const char* error;
  bool serviceModeLeft;  // an unplugged clock hears nothing more
};

class CliCopyEnds : public CliCopy, public testing::WithParamInterface<CopyEnd> {};

// Ended while the verdict waits: as "Abbrechen" ends it, the volume back.
TEST_P(CliCopyEnds, WhileTheVerdictWaitsPutTheVolumeBackAndNameTheEnd) {
  Simulator device({"--no-announce", "--hear", "--delay", "K=60000"});
  QElapsedTimer sinceEnd;
  QString read;
  const CliRun run = RunCliInto(
      CopyArgs(device), "exec cat",
      [&](QProcess& cli, QProcess& reader) {
        ASSERT_TRUE(ProcessUntil([&] { return device.Received().contains("K"); }, 60000));
        EXPECT_NE(GetOutputVolume(), before_) << "the copy runs at a trial volume";
        sinceEnd.start();
        GetParam().end(cli, reader, device);
        ASSERT_TRUE(cli.waitForFinished(kFaultMs));
        std::printf("%s: ended %lld ms later\n", GetParam().name, static_cast<long long>(sinceEnd.elapsed()));
      },
      read);
  const QJsonObject said = QJsonDocument::fromJson(read.trimmed().split('\n').last().toUtf8()).object();
  EXPECT_EQ(run.exitCode, GetParam().exitCode);
  if (GetParam().exitCode != 141) {
    EXPECT_EQ(said.value("error").toString(), GetParam().error);
  }
  EXPECT_EQ(GetOutputVolume(), before_);
  if (GetParam().serviceModeLeft) {
    EXPECT_TRUE(ProcessUntil([&] { return device.Received().endsWith("{"); }, kFaultMs));
    const QStringList received = device.Received();
    EXPECT_THAT(received.mid(received.lastIndexOf("K")), ElementsAre("K", "{"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, CliCopyEnds,
    testing::Values(CopyEnd{"HangUp", [](QProcess& cli, QProcess&, Simulator&) { Signal(cli, SIGHUP); }, 129,
                            "interrupted", true},
                    CopyEnd{"ClosedOutput", [](QProcess&, QProcess& reader, Simulator&) { reader.kill(); },
                            141, "", true},
                    CopyEnd{"Unplug", [](QProcess&, QProcess&, Simulator& device) { device.Unplug(); }, 2,
                            "device-gone", false}),
    [](const testing::TestParamInfo<CopyEnd>& info) { return std::string(info.param.name); });

}  // namespace

// The program asked to end by SIGTERM or SIGHUP (a closed terminal) while a copy runs, in a process of its
// own: the copy ends as "Abbrechen" ends it, so the device leaves service mode
// and the sound card gets back the volume it had before the copy, read back
// here from the null sink's mixer. A waiting query does not hold the end.
#include <gmock/gmock.h>
#include <signal.h>

#include <QProcess>

#include "devsim/devicesimulator.h"
#include "speech/audio.h"
#include "tests/speech/soundtestsupport.h"
#include "tests/support/eventwait.h"

using namespace std::chrono_literals;

namespace {

struct QuitCase {
  const char* name;
  char heldCommand;  // its answer comes only after 60 s
  char signalAfter;  // the signal once the device has received this command
  size_t answers;    // ... and has sent this many answers
  int signal;
};

class QuitSignalDuringACopy : public ::testing::TestWithParam<QuitCase> {};

TEST_P(QuitSignalDuringACopy, EndsTheCopyRestoresTheVolumeAndLeavesServiceMode) {
  SKIP_WITHOUT_SOUND_SERVER();
  SinkLock sink(SinkLock::Exclusive);
  ASSERT_TRUE(SetOutputVolume(30000));
  const std::uint32_t before = GetOutputVolume();
  ASSERT_NE(before, 0u);

  devsim::DeviceSimulator device;
  device.SetDelay(GetParam().heldCommand, 60s);
  QProcess program;
  program.setProgram(QStringLiteral(COPYQUIT_PROBE));
  program.setArguments({QString::fromStdString(device.PortPath()), "speechset\\deutsch\\acht.wav",
                        "soundset\\wecker_piep.wav"});
  program.start();
  ASSERT_TRUE(program.waitForStarted(10000));
  ASSERT_TRUE(ProcessUntil(
      [&] {
        return device.Received().find(GetParam().signalAfter) != std::string::npos &&
               device.SentLog().size() >= GetParam().answers;
      },
      30000))
      << "received: " << devsim::Printable(device.Received());
  EXPECT_EQ(GetOutputVolume(), 4096u) << "the copy runs at its first trial volume";

  ::kill(static_cast<pid_t>(program.processId()), GetParam().signal);
  ASSERT_TRUE(program.waitForFinished(20000)) << "a held answer would keep it for 60 s";
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_THAT(program.readAllStandardOutput().toStdString(), testing::HasSubstr("ended"));
  // The sequence does not go on after the request to end: a query that
  // returned -1 for it must not turn into a failure box.
  EXPECT_THAT(program.readAllStandardError().toStdString(), testing::Not(testing::HasSubstr("message box")));
  // The last byte may still be on its way through the pty.
  EXPECT_TRUE(
      ProcessUntil([&] { return !device.Received().empty() && device.Received().back() == '{'; }, 10000))
      << devsim::Printable(device.Received());
  EXPECT_FALSE(device.InServiceMode());
  EXPECT_EQ(GetOutputVolume(), before);
  SetOutputVolume(65536);
}

INSTANTIATE_TEST_SUITE_P(
    Phases, QuitSignalDuringACopy,
    testing::Values(QuitCase{"WhileAFilePlays", 'J', 'I', 2, SIGTERM},  // "I" answered: no query waits
                    QuitCase{"WhileTheVerdictWaits", 'K', 'K', 0, SIGTERM},
                    QuitCase{"HungUpWhileTheVerdictWaits", 'K', 'K', 0, SIGHUP}),
    [](const testing::TestParamInfo<QuitCase>& info) { return std::string(info.param.name); });

}  // namespace

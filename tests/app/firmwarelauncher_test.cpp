// Starting the hand-over script: with /bin/sh in its folder, detached from the
// test in a session of its own, its output appended to update.log.

#include "tools/firmwarelauncher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "tests/app/testfiles.h"

namespace {

bool WaitForFile(const std::string& path) {
  for (int i = 0; i < 10000; ++i) {
    if (std::filesystem::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

struct ProcessStat {
  char state = 0;  // 0 when the process is gone
  pid_t parent = 0;
  pid_t session = 0;
};

ProcessStat StatOf(pid_t pid) {
  // "pid (comm) state ppid pgrp session ..."; the name may hold spaces.
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream rest(stat.substr(stat.rfind(')') + 1));
  ProcessStat result;
  pid_t group;
  rest >> result.state >> result.parent >> group >> result.session;
  return result;
}

// An orphan that has ended may wait a while as a zombie for whoever adopted it.
bool Running(pid_t pid) {
  const char state = StatOf(pid).state;
  return state != 0 && state != 'Z' && state != 'X';
}

class LaunchUpdateScriptTest : public testing::Test {
 protected:
  std::string Folder() const { return dir.path().toStdString(); }
  std::string At(const std::string& name) const { return Folder() + "/" + name; }
  QTemporaryDir dir;
};

}  // namespace

TEST_F(LaunchUpdateScriptTest, RunsTheScriptWithShInItsFolderAndAppendsItsOutputToTheLog) {
  // No execute bit: the script is handed to /bin/sh, not executed itself.
  WriteFile(At(kUpdateScript),
            "echo \"run $1 in $(pwd) reading $(readlink /proc/$$/fd/0)\"\n"
            "echo \"complaint\" >&2\n"
            ": > \"done-$$\"\n");
  WriteFile(At(kUpdateLog), "earlier run\n");

  const ScriptLaunch first = LaunchUpdateScript(Folder(), "/dev/ttyACM0");
  ASSERT_EQ(first.error, 0);
  ASSERT_GT(first.pid, 0);
  ASSERT_TRUE(WaitForFile(At("done-" + std::to_string(first.pid))));
  const ScriptLaunch second = LaunchUpdateScript(Folder(), "my port");
  ASSERT_EQ(second.error, 0);
  ASSERT_TRUE(WaitForFile(At("done-" + std::to_string(second.pid))));

  const std::string real = std::filesystem::canonical(Folder()).string();
  EXPECT_EQ(ReadFile(At(kUpdateLog)),
            "earlier run\n"
            "run /dev/ttyACM0 in " +
                real +
                " reading /dev/null\n"
                "complaint\n"
                "run my port in " +
                real +
                " reading /dev/null\n"
                "complaint\n");
}

TEST_F(LaunchUpdateScriptTest, TheScriptRunsInASessionOfItsOwnAndIsNotTheProgramsChild) {
  WriteFile(At(kUpdateScript), "while [ ! -e release ]; do sleep 0.01; done\n");
  const ScriptLaunch launch = LaunchUpdateScript(Folder(), "/dev/ttyACM0");
  ASSERT_EQ(launch.error, 0);
  const ProcessStat stat = StatOf(launch.pid);
  EXPECT_NE(stat.session, getsid(0));
  EXPECT_NE(stat.parent, getpid());
  WriteFile(At("release"), "");
  for (int i = 0; i < 10000 && Running(launch.pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(Running(launch.pid));
}

TEST_F(LaunchUpdateScriptTest, AMissingScriptIsNotStarted) {
  const ScriptLaunch launch = LaunchUpdateScript(Folder(), "/dev/ttyACM0");
  EXPECT_EQ(launch.error, ENOENT);
  EXPECT_EQ(launch.pid, 0);
  EXPECT_FALSE(std::filesystem::exists(At(kUpdateLog)));
}

TEST_F(LaunchUpdateScriptTest, AFolderThatIsGoneIsReported) {
  const ScriptLaunch launch = LaunchUpdateScript(At("gone"), "/dev/ttyACM0");
  EXPECT_EQ(launch.error, ENOENT);
  EXPECT_EQ(launch.pid, 0);
}

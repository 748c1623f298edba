// Finding the flashing tool among the running processes: over a fake /proc
// tree for the rules, and once over the real /proc with a process of our own.

#include "tools/processlist.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

class FakeProc {
 public:
  // A process folder as /proc has it: the (possibly cut) name in "comm", the
  // executable behind the "exe" link; no exe for kernel threads.
  void Add(uint32_t id, const std::string& comm, const std::string& exe = {}) {
    const std::filesystem::path folder = Root() + "/" + std::to_string(id);
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "comm") << comm << "\n";
    if (!exe.empty()) std::filesystem::create_symlink(exe, folder / "exe");
  }
  void SetState(uint32_t id, char state) {
    std::ofstream(Root() + "/" + std::to_string(id) + "/stat")
        << id << " (fboot) " << state << " 1 " << id << " " << id << " 0 -1\n";
  }
  std::string Root() const { return dir_.path().toStdString(); }

 private:
  QTemporaryDir dir_;
};

}  // namespace

TEST(FindProcessId, OfSeveralMatchesReturnsTheLastInAscendingIdOrder) {
  FakeProc proc;
  proc.Add(7, "fboot", "/usr/local/bin/fboot");
  proc.Add(300, "fboot", "/usr/local/bin/fboot");
  proc.Add(45, "my-fboot-2", "/opt/my-fboot-2");
  proc.Add(1000, "bash", "/usr/bin/bash");
  std::filesystem::create_directories(proc.Root() + "/sys");  // /proc's other entries are no processes
  std::filesystem::create_symlink("300", proc.Root() + "/self");
  // 7 would be last in the names' text order, 300 is last by id.
  EXPECT_EQ(FindProcessIdIn(proc.Root(), "fboot"), 300u);
}

TEST(FindProcessId, AFullLengthNameCutByTheKernelIsMatchedThroughTheExecutable) {
  FakeProc proc;
  proc.Add(12, "my-avr-flashtoo", "/usr/local/bin/my-avr-flashtool-fboot");
  proc.Add(13, "kworker/0:1");
  EXPECT_EQ(FindProcessIdIn(proc.Root(), "fboot"), 12u);
}

TEST(FindProcessId, AShorterNameIsWholeSoTheExecutableIsNotAsked) {
  FakeProc proc;
  // A script run by an interpreter that happens to be called fboot-sh: the
  // process's own name is "flash-runner", whole.
  proc.Add(12, "flash-runner", "/usr/bin/fboot-sh");
  EXPECT_EQ(FindProcessIdIn(proc.Root(), "fboot"), 0u);
}

TEST(FindProcessId, AToolThatHasEndedButIsNotCollectedYetIsNotRunning) {
  FakeProc proc;
  proc.Add(20, "fboot", "/usr/local/bin/fboot");
  proc.SetState(20, 'S');
  proc.Add(21, "fboot");
  proc.SetState(21, 'Z');
  EXPECT_EQ(FindProcessIdIn(proc.Root(), "fboot"), 20u);
}

TEST(FindProcessId, MatchesCaseSensitively) {
  FakeProc proc;
  proc.Add(5, "FBOOT", "/usr/bin/FBOOT");
  proc.Add(6, "Fboot", "/usr/bin/Fboot");
  EXPECT_EQ(FindProcessIdIn(proc.Root(), "fboot"), 0u);
  EXPECT_EQ(FindProcessIdIn(proc.Root(), "Fboot"), 6u);
}

TEST(FindProcessId, IsZeroWhenNothingMatchesOrTheListCannotBeRead) {
  FakeProc proc;
  proc.Add(1, "systemd", "/usr/lib/systemd/systemd");
  EXPECT_EQ(FindProcessIdIn(proc.Root(), "fboot"), 0u);
  EXPECT_EQ(FindProcessIdIn(proc.Root() + "/missing", "fboot"), 0u);
}

// A running program with a name longer than the kernel keeps, found by the part
// that only its executable's name holds; gone once it has ended.
TEST(FindProcessId, FindsARunningProgramInTheRealProcessList) {
  QTemporaryDir dir;
  const std::string unique = "ended-" + std::to_string(getpid()) + "-fboot-probe";
  const std::string program = dir.path().toStdString() + "/long-named-sleeper-" + unique;
  std::filesystem::copy_file("/bin/sleep", program);
  const pid_t child = fork();
  if (child == 0) {
    execl(program.c_str(), program.c_str(), "600", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  // Until exec the child still carries this test's name.
  bool found = false;
  for (int i = 0; i < 5000 && !found; ++i) {
    found = FindProcessId(unique) == static_cast<uint32_t>(child);
    if (!found) usleep(1000);
  }
  EXPECT_TRUE(found);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(FindProcessId(unique), 0u);
}

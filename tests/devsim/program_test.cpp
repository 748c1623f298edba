// vellamo-devsim run as a child process, with XDG_RUNTIME_DIR pointing into a
// test folder so that the announcement never touches the user's real one.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "devsim/programoptions.h"
#include "slaveclient.h"
#include "tests/support/slowbuild.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Only a fault waits this long: a program that does not start, answer or end.
constexpr auto kFault = 20s;

class ChildProgram {
 public:
  ChildProgram(const std::vector<std::string>& args, const std::string& runtimeDir,
               const std::vector<std::string>& moreEnv = {}) {
    std::vector<std::string> env = {"XDG_RUNTIME_DIR=" + runtimeDir, "PATH=/usr/bin:/bin"};
    env.insert(env.end(), moreEnv.begin(), moreEnv.end());
    std::vector<char*> argv, envp;
    static std::string program = VELLAMO_DEVSIM_PROGRAM;
    argv.push_back(program.data());
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(out[1]);
    stdout_ = out[0];
  }
  ~ChildProgram() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }

  pid_t Pid() const { return pid_; }

  std::string ReadLine(std::chrono::milliseconds timeout) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char c;
      if (read(stdout_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return line;
  }

  // The exit status, or -1 when it had not ended within the time-out.
  int Wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int stdout_ = -1;
  bool reaped_ = false;
};

class DevsimProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vellamo-devsim-run-XXXXXX";
    runtime_ = mkdtemp(pattern);
    ports_ = runtime_ + "/vellamo-ports";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(runtime_, ec);
  }
  std::string LinkOf(pid_t pid) const { return ports_ + "/vellamo-devsim-" + std::to_string(pid); }

  std::string runtime_;
  std::string ports_;
};

TEST_F(DevsimProgramTest, AnnouncesItsPtyWhileRunningAndWithdrawsItOnSigterm) {
  ChildProgram sim({"--processing-time", "10", "--values", "B=7,8"}, runtime_);
  const std::string path = sim.ReadLine(kFault);
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  const std::string link = LinkOf(sim.Pid());
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), path);
  EXPECT_EQ(fs::status(ports_).permissions() & fs::perms::all, fs::perms::owner_all);

  // Through the announced name, as the program's port list offers it.
  SlaveClient client(link);
  ASSERT_TRUE(client.IsOpen());
  client.Write("B");
  EXPECT_EQ(client.Read(3, kFault), "7\r\n");
  client.Write("BK");
  EXPECT_EQ(client.Read(6, kFault), "8\r\n+\r\n");

  kill(sim.Pid(), SIGTERM);
  EXPECT_EQ(sim.Wait(kFault), 0);
  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_FALSE(fs::exists(path));
}

TEST_F(DevsimProgramTest, SigintEndsItTooAndNoAnnounceLeavesTheFolderAlone) {
  ChildProgram sim({"--no-announce"}, runtime_);
  ASSERT_EQ(sim.ReadLine(kFault).rfind("/dev/pts/", 0), 0u);
  EXPECT_FALSE(fs::exists(ports_));
  kill(sim.Pid(), SIGINT);
  EXPECT_EQ(sim.Wait(kFault), 0);
}

TEST_F(DevsimProgramTest, EndsWhenTheWatchedProcessEnds) {
  const pid_t watched = fork();
  if (watched == 0) {
    pause();
    _exit(0);
  }
  ChildProgram sim({"--exit-with-pid", std::to_string(watched), "--name", "demo"}, runtime_);
  ASSERT_FALSE(sim.ReadLine(kFault).empty());
  EXPECT_TRUE(fs::is_symlink(ports_ + "/demo"));
  EXPECT_EQ(sim.Wait(300ms), -1);  // still running while the watched one lives

  kill(watched, SIGKILL);
  waitpid(watched, nullptr, 0);
  EXPECT_EQ(sim.Wait(kFault), 0);
  EXPECT_FALSE(fs::is_symlink(ports_ + "/demo"));
}

TEST_F(DevsimProgramTest, UnplugAfterClosesTheLineAndEnds) {
  // Long enough for this side to open the line first, even when the machine is
  // busy, and a sanitized simulator starts several times slower.
  ChildProgram sim({"--unplug-after", kSanitizedBuild ? "8000" : "1500", "--send", "0=\\x00hi\\r\\n"}, runtime_);
  const std::string path = sim.ReadLine(kFault);
  SlaveClient client(path);
  ASSERT_TRUE(client.IsOpen());
  EXPECT_EQ(sim.Wait(kFault), 0);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::is_symlink(LinkOf(sim.Pid())));
}

TEST_F(DevsimProgramTest, BadArgumentIsRefusedWithTheUsage) {
  ChildProgram sim({"--delay", "A=soon"}, runtime_);
  EXPECT_EQ(sim.Wait(kFault), 2);
  EXPECT_FALSE(fs::exists(ports_));
}

TEST_F(DevsimProgramTest, HearingWithoutASoundServerFallsBackToTheFixedLevel) {
  ChildProgram sim({"--hear", "--audio", "321", "--no-announce"}, runtime_,
                   {"PULSE_SERVER=unix:" + runtime_ + "/no-such-server"});
  const std::string path = sim.ReadLine(kFault);
  ASSERT_FALSE(path.empty());
  SlaveClient client(path);
  client.Write("B");
  EXPECT_EQ(client.Read(5, kFault), "321\r\n");
  kill(sim.Pid(), SIGTERM);
  EXPECT_EQ(sim.Wait(kFault), 0);
}

TEST(DevsimProgramOptions, HearingOptionsSetTheMappingAndRefuseNonsense) {
  devsim::ProgramOptions plain;
  std::string error;
  const char* none[] = {"vellamo-devsim", "--audio", "150"};
  ASSERT_TRUE(devsim::ParseProgramOptions(3, none, plain, error));
  EXPECT_FALSE(plain.simulator.hearing) << "hearing only when asked for";

  const char* hear[] = {"vellamo-devsim", "--hear"};
  devsim::ProgramOptions defaults;
  ASSERT_TRUE(devsim::ParseProgramOptions(2, hear, defaults, error)) << error;
  ASSERT_TRUE(defaults.simulator.hearing);
  EXPECT_EQ(defaults.simulator.hearing->floorReading, 5);
  EXPECT_EQ(defaults.simulator.hearing->fullScaleReading, 1000);
  EXPECT_EQ(defaults.simulator.hearing->source, "@DEFAULT_MONITOR@");

  const char* tuned[] = {"vellamo-devsim", "--hear-floor",     "12",   "--hear-full",   "800",
                         "--hear",         "--hear-threshold", "0.01", "--hear-source", "nullsink.monitor"};
  devsim::ProgramOptions options;
  ASSERT_TRUE(devsim::ParseProgramOptions(int(std::size(tuned)), tuned, options, error)) << error;
  ASSERT_TRUE(options.simulator.hearing);
  EXPECT_EQ(options.simulator.hearing->floorReading, 12);
  EXPECT_EQ(options.simulator.hearing->fullScaleReading, 800);
  EXPECT_DOUBLE_EQ(options.simulator.hearing->silenceThreshold, 0.01);
  EXPECT_EQ(options.simulator.hearing->source, "nullsink.monitor");

  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{{"x", "--hear-floor", "-1"},
                                                                            {"x", "--hear-full", "1024"},
                                                                            {"x", "--hear-threshold", "0"},
                                                                            {"x", "--hear-threshold", "1.5"},
                                                                            {"x", "--hear-threshold", "loud"},
                                                                            {"x", "--hear-source", ""}}) {
    devsim::ProgramOptions ignored;
    EXPECT_FALSE(devsim::ParseProgramOptions(int(bad.size()), bad.data(), ignored, error))
        << bad[1] << bad[2];
  }
}

TEST(DevsimProgramOptions, ParsesScriptAndRefusesMalformedValues) {
  const char* good[] = {"vellamo-devsim", "--answer", "A= 512",    "--answer-bytes",  "J=+x",
                        "--no-answer",    "K",        "--values",  "B=1,-2,3",        "--delay",
                        "I=250",          "--split",  "B=1,300",   "--send",          "100=\\x01\\r\\n",
                        "--light",        "42",       "--verbose", "--exit-with-pid", "1"};
  devsim::ProgramOptions options;
  std::string error;
  ASSERT_TRUE(devsim::ParseProgramOptions(int(std::size(good)), good, options, error)) << error;
  EXPECT_EQ(options.script.size(), 6u);
  EXPECT_EQ(options.simulator.lightLevel, 42);
  EXPECT_EQ(options.simulator.processingTime, devsim::kProgramProcessingTime);
  ASSERT_EQ(options.sends.size(), 1u);
  EXPECT_EQ(options.sends[0].after, 100ms);
  EXPECT_EQ(options.sends[0].bytes, "\x01\r\n");
  EXPECT_TRUE(options.verbose);
  EXPECT_EQ(options.exitWithPid, 1);

  // The script applied to a simulator behaves as the options say.
  devsim::DeviceSimulator device(options.simulator);
  for (const auto& step : options.script) step(device);
  SlaveClient client(device.PortPath());
  client.Write("A");
  EXPECT_EQ(client.Read(6, kFault), " 512\r\n");
  client.Write("J");
  EXPECT_EQ(client.Read(2, kFault), "+x");
  client.Write("B");
  EXPECT_EQ(client.Read(3, kFault), "1\r\n");
  // Split after one byte, the rest 300 ms later.
  const std::vector<devsim::SentPiece> pieces = device.SentLog();
  ASSERT_EQ(pieces.size(), 4u);
  EXPECT_EQ(pieces[2].bytes, "1");
  EXPECT_EQ(pieces[3].bytes, "\r\n");
  EXPECT_GE(pieces[3].time - pieces[2].time, 300ms);

  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{{"x", "--values", "B="},
                                                                            {"x", "--values", "B=1,,2"},
                                                                            {"x", "--delay", "A=-5"},
                                                                            {"x", "--split", "B=1"},
                                                                            {"x", "--answer", "AB"},
                                                                            {"x", "--answer", "A=\\x4"},
                                                                            {"x", "--name", "../escape"},
                                                                            {"x", "--exit-with-pid", "0"},
                                                                            {"x", "--processing-time"},
                                                                            {"x", "--frobnicate", "1"}}) {
    devsim::ProgramOptions ignored;
    EXPECT_FALSE(devsim::ParseProgramOptions(int(bad.size()), bad.data(), ignored, error)) << bad[1];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace

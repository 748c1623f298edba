// The cross-process lock: each case leaves the lock in one state (taken here,
// in a child, let go in one of the ways a holder lets go) and the same two
// questions are asked of it from outside: who holds it, and can it be taken.

#include "serial/processlock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

namespace {

const std::string kName = "port-test";

// A child process that runs `body` and then waits until its pipe is closed
// (or it is killed). Ready once it has said so over the other pipe.
class Child {
 public:
  explicit Child(const std::function<void()>& body) {
    int ready[2];
    int hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(hold[1]);
      body();
      (void)!write(ready[1], "r", 1);
      char c;
      (void)!read(hold[0], &c, 1);
      _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    hold_ = hold[1];
    char c;
    ready_ = read(ready[0], &c, 1) == 1;
    close(ready[0]);
  }
  ~Child() {
    if (pid_ > 0) End(SIGKILL);
  }
  bool Ready() const { return ready_; }
  // Ends it and collects it: its descriptors are closed once this returns.
  void End(int signal) {
    if (hold_ >= 0) close(hold_);
    hold_ = -1;
    kill(pid_, signal);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int hold_ = -1;
  bool ready_ = false;
};

// A shell started from a child that holds a copy of the lock's descriptor;
// `handOn` clears its close-on-exec flag before the exec. The shell waits on
// its standard input, a pipe, for as long as the test keeps it.
class ExecutedChild {
 public:
  ExecutedChild(const ProcessLock& lock, bool handOn) {
    int input[2];
    int started[2];
    if (pipe(input) != 0 || pipe2(started, O_CLOEXEC) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      if (handOn) fcntl(lock.Descriptor(), F_SETFD, 0);
      dup2(input[0], STDIN_FILENO);
      close(input[1]);
      execl("/bin/sh", "sh", "-c", "read line", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(input[0]);
    close(started[1]);
    input_ = input[1];
    // The pipe closes on exec: from then on the shell holds what it was handed.
    char c;
    (void)!read(started[0], &c, 1);
    close(started[0]);
  }
  ~ExecutedChild() {
    close(input_);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
};

struct LockCase {
  const char* rule;
  // Leaves the lock in the state under test; what it returns is kept alive
  // until the lock has been asked.
  std::function<std::shared_ptr<void>()> arrange;
  std::optional<std::string> heldBy;  // nullopt: free, and taken at once by another
};

std::shared_ptr<void> Take(const std::string& holder) {
  return std::make_shared<ProcessLock>(ProcessLock::TryTake(kName, holder).value());
}

const LockCase kLockCases[] = {
    {"never taken, it is free", [] { return std::shared_ptr<void>(); }, std::nullopt},
    {"taken, it is held with its holder's text", [] { return Take("copy on /dev/ttyACM0"); },
     "copy on /dev/ttyACM0"},
    {"the holder's text is one line", [] { return Take("first\nsecond"); }, "first"},
    {"destroyed, it lets go",
     [] {
       Take("gone");
       return std::shared_ptr<void>();
     },
     std::nullopt},
    {"moved, it still holds",
     [] {
       auto lock = std::make_shared<std::optional<ProcessLock>>(ProcessLock::TryTake(kName, "moved"));
       auto moved = std::make_shared<ProcessLock>(std::move(lock->value()));
       lock->reset();
       return moved;
     },
     "moved"},
    {"a live process holds it",
     [] {
       auto child = std::make_shared<Child>(
           [] { new std::optional<ProcessLock>(ProcessLock::TryTake(kName, "child")); });
       return child->Ready() ? child : nullptr;
     },
     "child"},
    {"a holder that died lets go",
     [] {
       Child child([] { new std::optional<ProcessLock>(ProcessLock::TryTake(kName, "killed")); });
       EXPECT_TRUE(child.Ready());
       child.End(SIGKILL);
       return std::shared_ptr<void>();
     },
     std::nullopt},
    {"a program started by the holder does not keep it",
     [] {
       auto lock = std::make_shared<std::optional<ProcessLock>>(ProcessLock::TryTake(kName, "kept"));
       auto shell = std::make_shared<ExecutedChild>(lock->value(), false);
       lock->reset();
       return shell;
     },
     std::nullopt},
    {"a program it is handed on to keeps it after the holder let go",
     [] {
       auto lock = std::make_shared<std::optional<ProcessLock>>(ProcessLock::TryTake(kName, "handed on"));
       auto shell = std::make_shared<ExecutedChild>(lock->value(), true);
       lock->reset();
       return shell;
     },
     "handed on"},
};

void PrintTo(const LockCase& c, std::ostream* os) { *os << c.rule; }

class ProcessLockRules : public testing::TestWithParam<LockCase> {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/vellamo-lock-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    setenv("VELLAMO_LOCK_DIR", folder, 1);
  }
  void TearDown() override {
    unsetenv("VELLAMO_LOCK_DIR");
    (void)!system(("rm -rf " + folder_).c_str());
  }
  std::string folder_;
};

TEST_P(ProcessLockRules, AsSeenFromOutside) {
  const LockCase& c = GetParam();
  SCOPED_TRACE(c.rule);
  const std::shared_ptr<void> state = c.arrange();
  EXPECT_EQ(ProcessLock::HeldBy(kName), c.heldBy);
  std::optional<ProcessLock> other = ProcessLock::TryTake(kName, "other");
  EXPECT_EQ(other.has_value(), !c.heldBy.has_value());
  if (other) {
    EXPECT_EQ(ProcessLock::HeldBy(kName), "other");
  }
}

INSTANTIATE_TEST_SUITE_P(Each, ProcessLockRules, testing::ValuesIn(kLockCases),
                         [](const testing::TestParamInfo<LockCase>& info) {
                           return "Case" + std::to_string(info.index);
                         });

TEST_F(ProcessLockRules, AFolderOthersMayWriteToIsNotUsed) {
  ASSERT_EQ(chmod(folder_.c_str(), 0777), 0);
  EXPECT_FALSE(ProcessLock::TryTake(kName, "x").has_value());
  ASSERT_EQ(chmod(folder_.c_str(), 0700), 0);
  EXPECT_TRUE(ProcessLock::TryTake(kName, "x").has_value());
}

TEST(LockFolder, FollowsTheEnvironment) {
  struct Case {
    const char* lockDir;
    const char* runtimeDir;
    std::string folder;
  };
  const Case cases[] = {
      {"/t/locks", "/run/user/1", "/t/locks"},
      {nullptr, "/run/user/1/", "/run/user/1/vellamo-locks"},
      {nullptr, nullptr, "/tmp/vellamo-locks-" + std::to_string(getuid())},
      {nullptr, "relative", "/tmp/vellamo-locks-" + std::to_string(getuid())},
  };
  const char* savedRuntime = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = savedRuntime ? savedRuntime : "";
  for (const Case& c : cases) {
    c.lockDir ? setenv("VELLAMO_LOCK_DIR", c.lockDir, 1) : unsetenv("VELLAMO_LOCK_DIR");
    c.runtimeDir ? setenv("XDG_RUNTIME_DIR", c.runtimeDir, 1) : unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(LockFolder(), c.folder);
  }
  unsetenv("VELLAMO_LOCK_DIR");
  savedRuntime ? setenv("XDG_RUNTIME_DIR", saved.c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
}

TEST(PortLockName, OneDeviceOneName) {
  char folder[] = "/tmp/vellamo-portname-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string device = std::string(folder) + "/tty0";
  const std::string link = std::string(folder) + "/by-id-link";
  close(open(device.c_str(), O_CREAT | O_WRONLY, 0600));
  ASSERT_EQ(symlink(device.c_str(), link.c_str()), 0);
  struct Case {
    std::string a, b;
    bool same;
  };
  const Case cases[] = {
      {"ttyACM0", "/dev/ttyACM0", true},  // a bare name is below /dev
      {link, device, true},               // a link names its device
      {"/dev/ttyACM0", "/dev/ttyACM1", false},
      {"/dev/a/b", "/dev/a%2Fb", false},  // escaping keeps distinct paths apart
      {"/dev/a_b", "/dev/a/b", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PortLockName(c.a) == PortLockName(c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(PortLockName(c.a).find('/'), std::string::npos) << c.a;
  }
  (void)!system(("rm -rf " + std::string(folder)).c_str());
}

}  // namespace

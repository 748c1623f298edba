#pragma once
// Every Vellamo process keeps its cross-process records (locks, what a clock
// still owes) in one folder per user. Tests run many processes side by side
// on ptys whose names the system reuses: each test process gets a folder of
// its own, which the programs it starts inherit, so that no test meets a
// record another one left. A test that sets VELLAMO_LOCK_DIR itself keeps it.
#include <cstdlib>
#include <filesystem>
#include <string>

class PrivateLockDir {
 public:
  PrivateLockDir() {
    if (const char* set = std::getenv("VELLAMO_LOCK_DIR"); set && *set) return;
    std::string pattern = (std::filesystem::temp_directory_path() / "vellamo-test-locks-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return;
    folder_ = pattern;
    ::setenv("VELLAMO_LOCK_DIR", folder_.c_str(), 1);
  }
  ~PrivateLockDir() {
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
  }
  PrivateLockDir(const PrivateLockDir&) = delete;
  PrivateLockDir& operator=(const PrivateLockDir&) = delete;

 private:
  std::string folder_;
};

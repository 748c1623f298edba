// A test executable linked with this file runs under umockdev's preload
// library, which sends every look at /sys, /dev and udev's event socket into
// the test bed that the tests build. Started without it (by hand, or by
// CTest), the executable starts itself again with the library preloaded,
// before main and before any thread exists.

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";
constexpr const char* kRestarted = "VELLAMO_UMOCKDEV_RESTARTED";

// A sanitizer's options (colon-separated) without its log_path.
std::string WithoutLogPath(const char* options) {
  std::string kept;
  for (std::string rest = options ? options : ""; !rest.empty();) {
    const size_t end = rest.find(':');
    const std::string option = rest.substr(0, end);
    rest = end == std::string::npos ? "" : rest.substr(end + 1);
    if (option.empty() || option.rfind("log_path=", 0) == 0) continue;
    kept += (kept.empty() ? "" : ":") + option;
  }
  return kept;
}

__attribute__((constructor)) void RestartUnderUmockdev() {
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload && std::strstr(preload, "libumockdev-preload")) return;
  // Once only: should the library not load, the tests say so (they check that
  // they run in the test bed) instead of starting again for ever.
  if (std::getenv(kRestarted)) return;
  setenv(kRestarted, "1", 1);

  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> words;
  for (size_t at = 0; at < line.size();) {
    const size_t end = line.find('\0', at);
    words.push_back(line.substr(at, end - at));
    at = end == std::string::npos ? line.size() : end + 1;
  }
  if (words.empty()) return;
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  setenv("LD_PRELOAD", (std::string(kPreload) + (preload && *preload ? std::string(":") + preload : "")).c_str(), 1);
  // AddressSanitizer wants to be first among preloaded libraries; umockdev's
  // wraps the same calls from behind it, which is sound. A sanitizer told to
  // write its reports into a file opens it while it starts, through umockdev's
  // wrappers before they are ready, and crashes: under the preload the reports
  // go to the error output instead (a finding still fails the run).
  const std::string asan = WithoutLogPath(std::getenv("ASAN_OPTIONS"));
  setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
  if (std::getenv("UBSAN_OPTIONS")) setenv("UBSAN_OPTIONS", WithoutLogPath(std::getenv("UBSAN_OPTIONS")).c_str(), 1);
  execv("/proc/self/exe", argv.data());
}

}  // namespace

#pragma once
// The command line of vellamo-devsim, parsed apart from main() so that tests can
// check it without starting the program.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "devsim/devicesimulator.h"

namespace devsim {

struct TimedSend {
  std::chrono::milliseconds after;
  std::string bytes;
};

struct ProgramOptions {
  Options simulator;
  // The per-command script in command-line order; applied to the running simulator.
  std::vector<std::function<void(DeviceSimulator&)>> script;
  std::vector<TimedSend> sends;
  std::chrono::milliseconds unplugAfter{-1};  // negative: never
  pid_t exitWithPid = 0;                      // 0: none
  std::string name;                           // empty: vellamo-devsim-<pid>
  bool announce = true;
  bool verbose = false;
  bool monotonicTimes = false;  // log stamps on the machine's monotonic clock, not since start
  bool help = false;
};

// The device's "K" takes this long in the program: long enough to watch the copy
// dialog wait, short enough for a demo.
constexpr std::chrono::milliseconds kProgramProcessingTime{3000};

// Fills `options` from argv[1..]; on a bad argument returns false with `error` set.
bool ParseProgramOptions(int argc, const char* const* argv, ProgramOptions& options, std::string& error);

// C-style escapes \r \n \t \\ \xHH in command-line texts; false on a broken escape.
bool Unescape(const std::string& text, std::string& bytes);

extern const char* const kUsage;

}  // namespace devsim

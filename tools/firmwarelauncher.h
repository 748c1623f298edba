#pragma once
// Starts the firmware hand-over script: "update.bat" in the firmware folder,
// run by /bin/sh in that folder with the port's name as its one argument.
//
// The script runs in a session of its own, so a flashing in progress survives
// the program's end or a hang-up of its terminal. Its standard input is
// /dev/null; its output and errors are appended to "update.log" in the same
// folder.

#include <sys/types.h>

#include <string>

struct ScriptLaunch {
  int error = 0;  // 0 when /bin/sh runs the script, else the errno of the failing step
  pid_t pid = 0;  // the shell's process id when it started
};

inline const std::string kUpdateScript = "update.bat";
inline const std::string kUpdateLog = "update.log";

// Who the script's parent is. Detached: nobody here (it is started through an
// intermediate process that ends at once), so no zombie is left behind. Child:
// the program, still in a session of its own, so that the window and the
// command-line tool can collect the script's exit status with waitpid.
enum class ScriptParent { Detached, Child };

// Returns once the shell has been started (or failed to start); does not wait
// for the script to run. `handOn`, when not -1, is a descriptor the script
// keeps across its start (the port guard of the hand-over, which the script
// passes on to the tool); every other descriptor of the program closes.
ScriptLaunch LaunchUpdateScript(const std::string& folder, const std::string& argument,
                                ScriptParent parent = ScriptParent::Detached, int handOn = -1);

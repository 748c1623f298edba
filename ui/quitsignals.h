#pragma once
// SIGINT, SIGTERM and SIGHUP (a closed terminal, a dropped ssh session) end the
// program the way "Ende" does, so that a copy in progress still leaves the
// device's service mode and gives the sound card its volume back, and a running
// clock test is switched off. The signal handler only writes the signal's
// number into a pipe; the reading end is watched by the user-interface
// thread's event loop, which then calls `onQuit` there with that number, also
// in the middle of a nested wait.
//
// SIGPIPE is ignored: a write to a closed pipe or socket fails with EPIPE
// instead of ending the program on the spot; whoever writes decides what that
// means.

#include <functional>

// A signal that was ignored when the program started stays ignored: SIGHUP
// under nohup, SIGINT in a script's background job.
// Installs the handlers once; a later call replaces `onQuit`. False when the
// pipe or the handlers could not be set up (the signals then end the program
// as by default).
bool CatchQuitSignals(std::function<void(int signal)> onQuit);

// After the clean-up that `signal` asked for: ends the program by that signal,
// its handler put back to the default first, so that the caller sees it as the
// cause (a shell's `$?` is 128 + N, and a script ended by Ctrl+C stops too).
// Returns only for a signal that was ignored at start (SIGPIPE under a caller
// that ignores it), or when the signal could not end the program.
void EndBySignal(int signal);

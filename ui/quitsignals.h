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

// A hang-up that was ignored when the program started (nohup) stays ignored.
// Installs the handlers once; a later call replaces `onQuit`. False when the
// pipe or the handlers could not be set up (the signals then end the program
// as by default).
bool CatchQuitSignals(std::function<void(int signal)> onQuit);

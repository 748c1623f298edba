#pragma once
// SIGINT and SIGTERM end the program the way "Ende" does, so that a copy in
// progress still leaves the device's service mode and gives the sound card its
// volume back. The signal handler only writes one byte into a pipe; the
// reading end is watched by the user-interface thread's event loop, which then
// calls `onQuit` there, also in the middle of a nested wait.

#include <functional>

// Installs the handlers once; a later call replaces `onQuit`. False when the
// pipe or the handlers could not be set up (the signals then end the program
// as by default).
bool CatchQuitSignals(std::function<void()> onQuit);

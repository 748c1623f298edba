#pragma once
// Why a command ends before its time. Set from the event loop (a signal, the
// port's report of a gone device, a failed write to stdout); each command
// looks at it after every wait.

struct Ending {
  int signal = 0;           // SIGINT, SIGTERM, SIGHUP; SIGPIPE for a closed stdout
  bool deviceGone = false;  // the device behind the port was unplugged
  int writeError = 0;       // stdout could not be written (other than a closed pipe)
  bool Requested() const { return signal != 0 || deviceGone || writeError != 0; }
};

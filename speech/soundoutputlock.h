#pragma once
// One sound output, one copy. A copy plays every entry into the sound server's
// default sink and sets that sink's volume; a second copy on the same server
// at the same time would be recorded by both clocks, and the two would leave
// the volume at each other's trial level. So a copy, in the window or in the
// command-line tool, holds the sound output for its whole run, with a lock
// that every Vellamo process of the user respects; it names the port of the
// copy, so that a refused one can say which copy holds the sound.
//
// The lock is named after the sound server it guards: copies that play on two
// servers (two users, or a test's private server) do not hold each other up.
// Previews take no lock: they are short and the user hears them; one started
// while another program's copy runs stays silent (see SoundOutputHolder).

#include <QString>
#include <optional>
#include <string>

#include "serial/processlock.h"

// The sound server this process plays on, as libpulse finds it: $PULSE_SERVER
// (its "unix:" prefix dropped), else the socket in $PULSE_RUNTIME_PATH, else
// the one in $XDG_RUNTIME_DIR/pulse.
std::string SoundServerAddress();

// The lock's name for that server.
std::string SoundOutputLockName();

// The sound output for a copy on `port`: the lock while it is held (it lets go
// when destroyed, or when the process dies), or the port of the copy that
// holds it.
struct SoundOutputClaim {
  std::optional<ProcessLock> lock;
  QString heldBy;  // when refused: the holder's port
};
SoundOutputClaim ClaimSoundOutput(const QString& port);

// The port of the copy that holds the sound output now; nullopt when none does.
std::optional<QString> SoundOutputHolder();

// The refusal, in German, naming the holder's port.
QString SoundOutputBusyText(const QString& holderPort);

#pragma once
// The exit codes of vellamo-cli, the same for every command; --help prints
// this table and vellamo-cli(1) shows it.

enum ExitCode {
  kExitOk = 0,                    // success
  kExitRefused = 1,               // the clock refused, a check failed, or stdout could not be written
  kExitNoDevice = 2,              // no device, no permission, no answer, device gone, no sound output
  kExitBadArguments = 3,          // bad arguments or input files; nothing was sent to the clock
  kExitPortBusy = 4,              // the port is held by another program or another Vellamo run
  kExitUnexpectedAnswer = 5,      // the clock answered, but not as asked (the answer is in the JSON)
  kExitSoundBusy = 6,             // the sound output is held by another copy (the JSON names its port)
  kExitFirmwareBeingWritten = 7,  // a firmware hand-over in progress guards the port
  kExitStillWriting = 8,  // the flashing tool outlived the command's wait: still writing, do not unplug
  kExitVolumeNotRestored = 9,  // the copy could not put the user's volume back (the JSON says which level)
  // A copy into several clocks whose clocks did not all end alike: some
  // succeeded and some not, or they failed for different reasons. Clocks
  // that all ended alike give that one code (0 only when every clock
  // succeeded); each clock's own code is in its JSON object.
  kExitClocksDiffer = 10,
};

// Ended by a signal: 128 + its number (130 SIGINT, 143 SIGTERM, 129 SIGHUP;
// 141 SIGPIPE for a closed standard output).
constexpr int ExitForSignal(int signal) { return 128 + signal; }

struct ExitCodeRow {
  const char* code;
  const char* meaning;
};
inline constexpr ExitCodeRow kExitCodeTable[] = {
    {"0", "Erfolg"},
    {"1", "das Gerät lehnt ab, eine Prüfung schlägt fehl, die Ausgabe ist nicht schreibbar"},
    {"2", "kein Gerät, kein Zugriff, keine Antwort, Gerät entfernt, keine Audioausgabe"},
    {"3", "falsche Argumente oder Eingabedateien; das Gerät bleibt unberührt"},
    {"4", "der Port ist belegt (ein anderes Programm oder ein anderer Vellamo-Lauf)"},
    {"5", "das Gerät antwortet, aber nicht wie gefragt (die Antwort steht im JSON)"},
    {"6", "die Audioausgabe ist von einer anderen Übertragung belegt (ihr Port steht im JSON)"},
    {"7", "die Firmware des Geräts wird gerade geschrieben; später erneut versuchen"},
    {"8", "das Update-Programm schreibt noch: das Gerät nicht abziehen"},
    {"9", "die Lautstärke konnte nicht zurückgesetzt werden: von Hand einstellen (Pegel im JSON)"},
    {"10", "copy in mehrere Uhren: nicht alle Uhren endeten gleich (jede Uhr mit ihrem Code im JSON); "
           "endeten alle gleich, gilt ihr gemeinsamer Code, 0 nur wenn jede Uhr erfolgreich war"},
    {"128+N", "durch Signal N beendet (130 SIGINT, 143 SIGTERM, 129 SIGHUP, 141 geschlossene Ausgabe)"},
};

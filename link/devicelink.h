#pragma once
// DeviceLink: the one road by which every window talks to the clock device,
// over one instance of the command channel (link/clocklink.h), touched only on
// the user-interface thread. One command,
// at most one answer; queries wait while window messages keep being processed,
// so other handlers (timers, clicks, further commands) run in the middle of a wait.

#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "link/answertext.h"

class TSerialPort;
class ClockLink;

namespace DeviceLink {

// The windows' clock: the instance every function below works on, its answer
// state in the names below. A station of several clocks has one more
// instance per further port.
ClockLink& Default();

// 0 idle; 1 a query waits (for the port, then for its answer); -1 answer
// received, not yet collected.
extern int32_t AnswerState;
extern std::string AnswerText;  // trimmed text of the accepted answer
extern int32_t AnswerTicks;     // remaining time-out in ticks of 100 ms, set once the command is written
extern QString ConnectionText;  // "Nicht verbunden." or "Verbunden auf <port>."
// Set by AbandonWaits when the program is asked to end.
extern bool WaitsAbandoned;

inline const QString kNotConnected = QStringLiteral("Nicht verbunden.");

// The main window's SerialPort1; every operation works through it. Binds the
// port's OnTxQueueEmptyEvent, which FinishSending relies on.
void Attach(TSerialPort* port);
TSerialPort* Port();

// An opening lets a waiting query go (it returns -1, never an answer of the
// new connection). The first query after it waits until the port is watched
// and settled (tens of ms), so that what the driver held is not taken.
void OpenDevicePort(const QString& portName);
// Lets a waiting query go at once, then waits up to a second for the answers
// the short queries still owe, so that the next run on the port starts clean.
void CloseDevicePort();

// The device behind the open port has gone (a pulled cable), as the port's
// report said. The connection reads "Nicht verbunden." at once; the port closes
// once the report's delivery has returned, and the same name is opened again
// as OpenDevicePort does as soon as the device is back under its path. A
// deliberate open or close ends that wait.
void PortGone();
bool AwaitingReturn();
// The port's report that an open failed (its Place 112), with the platform's
// code. A gone device that is back under its path but busy, because another
// program holds it for a moment, is tried again every 500 ms for up to 30 s.
void OpenFailed(uint32_t code);
void AcceptAnswer(const std::string& text);
void PumpWait(uint32_t ms);
void Tick();  // the main window's Timer3, every 100 ms

// The program is ending: a query that waits returns -1 at once (its caller
// must not go on with its sequence), and every later query returns -1 without
// sending. Send-only commands still go out, so that the windows can leave the
// device as they should. For good: nothing undoes it but a test's reset of
// WaitsAbandoned.
void AbandonWaits();

// A query that waits now gives up at once and returns -1; the channel is free
// for the next query straight away. For a sequence that ends while its own
// query still waits (a copy cancelled during the three-minute verdict): the
// next run, or another window, must not find the channel busy. Send-only
// commands are not affected. Nothing when no query waits.
void ReleaseWait();

// Before the port is closed at program end: closing purges the driver's
// queues, which would drop a last "{" still on its way. Waits, serving the
// user interface, until the bytes sent have left the output queue, at most
// `maxMs`; at once when nothing is on its way or the port is closed. Then,
// as a close does, up to a second for the answers still owed, and records
// what remains owed for the next run on the port.
void FinishSending(uint32_t maxMs);

// Commands leave in the order they were issued; one issued while the port
// still writes an earlier one waits for its turn, serving the user interface.
// When the turn comes, `wanted` (when given) decides whether the command is
// still to be written: a sequence that ended during the wait sends nothing
// more of its own. A query's command is written only while its query waits.
using StillWanted = std::function<bool()>;
// Commands waiting for their turn now.
size_t CommandsWaiting();

// Every query command written makes one answer owed (link/answerledger.h): a
// query's answer is the line that pays its own debt, so a late answer, the rest
// of a split one, or a cancelled run's verdict is never taken for a newer
// query's. A query that gives up leaves its debt standing.

// True while the clock owes an answer to a command written earlier.
bool OwesAnswers();
// Serves the user interface until the clock owes nothing more (with
// `processingToo` false: nothing but the processing verdict, which may be
// minutes away), at most `maxMs`; at once when the port is closed.
void AwaitOwedAnswers(uint32_t maxMs, bool processingToo = false);

void EnterServiceMode(const StillWanted& wanted = {});  // "*"
void LeaveServiceMode();                                // "{"
int32_t ReadLightLevel();                               // "A"
int32_t ReadAudioLevel();                               // "B"
void StoreDimThreshold();                               // "C"
void StartRtcTest();                                    // "D"
void StopRtcTest();                                     // "E"
void PlaySegment(uint8_t segment);                      // "F" + (segment + 1) & 0xFF
void BeginCopySession(const StillWanted& wanted = {});  // "G"
void StartProcessing(const StillWanted& wanted = {});   // "H"
int32_t StartRecording();                               // "I"
int32_t StopRecording();                                // "J"
int32_t AwaitProcessingResult();                        // "K"

}  // namespace DeviceLink

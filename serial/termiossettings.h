#pragma once
// How the POSIX backend carries the line settings (a device control block) onto
// termios. termios2 is used so that any rate can be set. What termios cannot do is
// refused with serialcodes::kInvalidParameter (87), as the platform refuses an
// invalid setting, and nothing on the port changes; what it can only do in
// software, the receive filter does (receivefilter.h).
//
// | Field or flag                          | On the port                                                  |
// |----------------------------------------|--------------------------------------------------------------|
// | BaudRate                               | a standard rate keeps its Bnnn code, any other goes through   |
// |                                        | BOTHER with c_ispeed = c_ospeed = the rate; 0: refused        |
// | ByteSize 5..8                          | CS5..CS8; any other: refused                                  |
// | Parity 0 none, 1 odd, 2 even           | -, PARENB|PARODD, PARENB                                      |
// | Parity 3 mark, 4 space                 | PARENB|CMSPAR|PARODD, PARENB|CMSPAR; above 4: refused         |
// | StopBits 0 one, 2 two                  | -, CSTOPB; two with 5 data bits: refused (the platform does)  |
// | StopBits 1 (one and a half)            | refused: CSTOPB gives it only on some UARTs                   |
// | kBinary                                | always raw: no line editing, translation, echo or signals     |
// | kParity with kErrorChar and a parity   | INPCK|PARMRK; the filter turns a marked byte into ErrorChar   |
// | kParity otherwise                      | no INPCK: a byte with an error passes as received; the error  |
// |                                        | counters give the error word (0x04, 0x08) and event 0x080     |
// | kOutxCtsFlow with kRtsHandshake        | CRTSCTS; either one alone: refused (termios has them as one)  |
// | kOutxDsrFlow, kDtrHandshake (0x20),    | refused                                                       |
// | kDsrSensitivity, kAbortOnError         |                                                               |
// | kRtsToggle (0x3000)                    | refused                                                       |
// | DTR control 0x10, RTS control 0x1000   | the line is raised; with 0 it stays as the line control left  |
// |                                        | it (the component drives both lines itself)                   |
// | kOutX                                  | IXON                                                          |
// | kInX                                   | IXOFF, only with kTxContinueOnXoff: the tty layer goes on     |
// |                                        | sending after its XOFF; without it: refused                   |
// | XonLim, XoffLim                        | taken, not applied: the tty layer sends XOFF and XON at fixed |
// |                                        | levels of its own buffer (they matter only with IXOFF/CRTSCTS)|
// | XonChar, XoffChar                      | VSTART, VSTOP; the same character while kOutX or kInX: refused|
// | kNull                                  | the filter drops NUL bytes                                    |
// | EvtChar                                | the filter: event 0x002 as the character arrives              |
// | EofChar                                | taken, no effect (no event depends on it)                     |
//
// GetLineSettings reads back the rate, byte size, parity, stop bits and the
// XON/XOFF characters from the port.

#include <asm/termbits.h>

#include "serial/portbackend.h"
#include "serial/receivefilter.h"

// A binary port, whatever settings follow: no line editing, echo, signals, or
// translation of received or sent bytes; reads return what is there. Opening
// does this first, so that a refused setting still leaves the port binary.
void MakeBinary(termios2& tio);
// Fills the port's termios from the settings (binary, as above); 0, or
// kInvalidParameter with tio untouched.
uint32_t ToTermios(const LineSettings& settings, termios2& tio);
void FromTermios(const termios2& tio, LineSettings& settings);
// The software part of the settings, for the receive filter. PARMRK is on exactly when unmark is.
ReceiveFilter::Settings FilterSettingsOf(const LineSettings& settings);

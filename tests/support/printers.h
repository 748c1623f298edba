#pragma once
// How GoogleTest prints Qt's strings and the program's own types in a failure
// message: as text, not as a dump of their bytes. Every test source gets this
// header first (the test build includes it on the command line), so that the
// printers are found wherever a value is compared. Each block is there only when
// the test can see the type's header.

#include <ostream>
#include <string>

#if __has_include(<QString>)
#include <QByteArray>
#include <QString>

inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray& bytes, std::ostream* out) { *out << '"' << bytes.toStdString() << '"'; }

#include "ui/messagebox.h"

inline void PrintTo(MessageKind kind, std::ostream* out) {
  *out << (kind == MessageKind::Error ? "MessageKind::Error" : "MessageKind::Information");
}
#endif

#include "devsim/devicesimulator.h"
#include "serial/portbackend.h"

inline void PrintTo(LineControl what, std::ostream* out) {
  static const char* const kNames[] = {"SetRts", "ClearRts", "SetDtr", "ClearDtr", "SetBreak", "ClearBreak"};
  *out << "LineControl::" << kNames[static_cast<int>(what)];
}

inline void PrintTo(const LineSettings& s, std::ostream* out) {
  *out << "{BaudRate " << s.BaudRate << ", Flags 0x" << std::hex << s.Flags << std::dec << ", ByteSize "
       << int(s.ByteSize) << ", Parity " << int(s.Parity) << ", StopBits " << int(s.StopBits) << ", XonLim "
       << s.XonLim << ", XoffLim " << s.XoffLim << ", XonChar " << int(s.XonChar) << ", XoffChar "
       << int(s.XoffChar) << ", ErrorChar " << int(s.ErrorChar) << ", EofChar " << int(s.EofChar)
       << ", EvtChar " << int(s.EvtChar) << "}";
}

inline void PrintTo(const PortTimeouts& t, std::ostream* out) {
  *out << "{ReadInterval " << t.ReadInterval << ", ReadTotal " << t.ReadTotalMultiplier << "/byte + "
       << t.ReadTotalConstant << ", WriteTotal " << t.WriteTotalMultiplier << "/byte + "
       << t.WriteTotalConstant << "}";
}

inline void PrintTo(const PortStatus& s, std::ostream* out) {
  *out << "{HoldFlags 0x" << std::hex << int(s.HoldFlags) << std::dec << ", InQueue " << s.InQueue
       << ", OutQueue " << s.OutQueue << "}";
}

namespace devsim {

inline void PrintTo(const SentPiece& piece, std::ostream* out) { *out << Printable(piece.bytes); }

inline void PrintTo(const LoggedByte& byte, std::ostream* out) {
  *out << Printable(std::string(1, char(byte.value)));
}

inline void PrintTo(const DeviceState& s, std::ostream* out) {
  *out << "{serviceMode " << s.serviceMode << ", rtcTest " << s.rtcTest << ", recording " << s.recording
       << ", lastSegmentByte " << s.lastSegmentByte << ", dimThresholdStores " << s.dimThresholdStores
       << ", copySessions " << s.copySessions << ", processingStarts " << s.processingStarts << "}";
}

}  // namespace devsim

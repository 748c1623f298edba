#include "serial/termiossettings.h"

#include <utility>

namespace {

tcflag_t StandardRateCode(uint32_t baud) {
  static constexpr std::pair<uint32_t, tcflag_t> kRates[] = {
      {50, B50},       {75, B75},         {110, B110},       {134, B134},       {150, B150},
      {200, B200},     {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
      {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
  for (const auto& [rate, code] : kRates)
    if (rate == baud) return code;
  return BOTHER;
}

bool ChecksWithErrorChar(const LineSettings& s) {
  return (s.Flags & dcbflags::kParity) && (s.Flags & dcbflags::kErrorChar) && s.Parity != 0;
}

// What termios has no way to do, or a combination the platform itself refuses.
bool Refused(const LineSettings& s) {
  using namespace dcbflags;
  if (s.BaudRate == 0 || s.ByteSize < 5 || s.ByteSize > 8 || s.Parity > 4) return true;
  if (s.StopBits == 1 || s.StopBits > 2 || (s.StopBits == 2 && s.ByteSize == 5)) return true;
  if (s.Flags & (kOutxDsrFlow | kDtrHandshake | kDsrSensitivity | kAbortOnError)) return true;
  const uint32_t rts = s.Flags & kRtsControlMask;
  if (rts == kRtsToggle) return true;
  if (bool(s.Flags & kOutxCtsFlow) != (rts == kRtsHandshake)) return true;
  if ((s.Flags & kInX) && !(s.Flags & kTxContinueOnXoff)) return true;
  if ((s.Flags & (kOutX | kInX)) && s.XonChar == s.XoffChar) return true;
  return false;
}

}  // namespace

void MakeBinary(termios2& tio) {
  tio.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | IUCLC | IMAXBEL);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag |= CREAD | CLOCAL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
}

uint32_t ToTermios(const LineSettings& s, termios2& tio) {
  if (Refused(s)) return serialcodes::kInvalidParameter;
  MakeBinary(tio);
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= kSizes[s.ByteSize - 5];
  if (s.Parity != 0) tio.c_cflag |= PARENB;
  if (s.Parity == 1 || s.Parity == 3) tio.c_cflag |= PARODD;
  if (s.Parity >= 3) tio.c_cflag |= CMSPAR;
  if (ChecksWithErrorChar(s)) tio.c_iflag |= INPCK | PARMRK;
  if (s.StopBits == 2) tio.c_cflag |= CSTOPB;
  if (s.Flags & dcbflags::kOutxCtsFlow) tio.c_cflag |= CRTSCTS;
  if (s.Flags & dcbflags::kOutX) tio.c_iflag |= IXON;
  if (s.Flags & dcbflags::kInX) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = static_cast<cc_t>(s.XonChar);
  tio.c_cc[VSTOP] = static_cast<cc_t>(s.XoffChar);
  // A standard rate keeps its classic code, so that every other tool reads it
  // back as such; any other rate goes through BOTHER.
  tio.c_cflag |= StandardRateCode(s.BaudRate);
  tio.c_ispeed = tio.c_ospeed = s.BaudRate;
  return 0;
}

void FromTermios(const termios2& tio, LineSettings& s) {
  s.BaudRate = tio.c_ospeed;
  switch (tio.c_cflag & CSIZE) {
    case CS5:
      s.ByteSize = 5;
      break;
    case CS6:
      s.ByteSize = 6;
      break;
    case CS7:
      s.ByteSize = 7;
      break;
    default:
      s.ByteSize = 8;
      break;
  }
  const bool odd = tio.c_cflag & PARODD;
  s.Parity = !(tio.c_cflag & PARENB) ? 0 : (tio.c_cflag & CMSPAR) ? (odd ? 3 : 4) : (odd ? 1 : 2);
  s.StopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
  s.XonChar = static_cast<char>(tio.c_cc[VSTART]);
  s.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

ReceiveFilter::Settings FilterSettingsOf(const LineSettings& s) {
  return {ChecksWithErrorChar(s), s.ErrorChar, bool(s.Flags & dcbflags::kNull), s.EvtChar};
}

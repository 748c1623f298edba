#pragma once
// What the POSIX backend does in software to received bytes, where termios has no
// switch for it: a byte with a parity or framing error becomes the error character,
// NUL bytes are dropped when null stripping is on, and the event character is
// looked for as each byte arrives.
//
// Error bytes reach the filter marked by the tty layer (PARMRK): 0xFF 0x00 x for
// an error byte x, 0xFF 0xFF for a true 0xFF. A mark may be split between two
// reads; the filter carries it over.

#include <cstdint>

class ReceiveFilter {
 public:
  struct Settings {
    bool unmark = false;  // PARMRK is on: the bytes carry its marks
    char errorChar = 0;
    bool stripNull = false;
    char eventChar = 0;
  };

  void Configure(const Settings& settings) {
    settings_ = settings;
    mark_ = Mark::None;
  }
  void Reset() { mark_ = Mark::None; }

  // Filters count bytes in place and returns how many remain; eventCharSeen is set
  // when one of them is the event character.
  uint32_t Apply(char* data, uint32_t count, bool& eventCharSeen);

 private:
  enum class Mark { None, Escape, Error };
  Settings settings_;
  Mark mark_ = Mark::None;
};

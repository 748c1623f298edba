#include "serial/receivefilter.h"

uint32_t ReceiveFilter::Apply(char* data, uint32_t count, bool& eventCharSeen) {
  uint32_t kept = 0;
  // Every byte read gives at most one byte out, so the output never overtakes the input.
  for (uint32_t i = 0; i < count; ++i) {
    const char byte = data[i];
    if (mark_ == Mark::Error) {
      // The error character replaces the byte as received; it is not looked at again.
      mark_ = Mark::None;
      data[kept++] = settings_.errorChar;
      continue;
    }
    if (mark_ == Mark::Escape) {
      mark_ = byte == 0 ? Mark::Error : Mark::None;
      if (byte == 0) continue;
      // 0xFF 0xFF: one true 0xFF, taken as any other byte below.
    } else if (settings_.unmark && byte == '\xFF') {
      mark_ = Mark::Escape;
      continue;
    }
    if (settings_.stripNull && byte == 0) continue;
    if (byte == settings_.eventChar) eventCharSeen = true;
    data[kept++] = byte;
  }
  return kept;
}

#include "tools/timereply.h"

#include <algorithm>
#include <cstring>

size_t TimeReplyReader::Append(const uint8_t* data, size_t size) {
  const size_t taken = std::min(size, Missing());
  if (taken > 0) std::memcpy(buffer_.data() + count_, data, taken);
  count_ += taken;
  return taken;
}

uint32_t TimeReplyReader::Seconds() const {
  if (!Complete()) return 0;
  // Unsigned all the way: 0xFFFFFFFF is 4294967295 seconds, not -1.
  return static_cast<uint32_t>(buffer_[0]) << 24 | static_cast<uint32_t>(buffer_[1]) << 16 |
         static_cast<uint32_t>(buffer_[2]) << 8 | static_cast<uint32_t>(buffer_[3]);
}

#pragma once
// The answer of a Time Protocol server (RFC 868): 4 bytes, an unsigned 32-bit
// count of seconds since 1 January 1900 00:00:00 UTC, most significant byte
// first. TCP may hand the 4 bytes over in pieces, so the reader collects them
// across receives and takes no byte beyond the fourth: whatever a server sends
// after that is not part of the answer.
//
// Plain C++ with no Qt, so that it can be fed arbitrary byte streams on its own.

#include <array>
#include <cstddef>
#include <cstdint>

class TimeReplyReader {
 public:
  static constexpr size_t kSize = 4;

  // Forgets what was collected, for a new request.
  void Reset() { count_ = 0; }

  // How many bytes the answer still lacks (0 once it is complete).
  size_t Missing() const { return kSize - count_; }
  bool Complete() const { return count_ == kSize; }

  // Takes up to Missing() bytes from the front of data; returns how many it took.
  size_t Append(const uint8_t* data, size_t size);

  // The answer's value; 0 until the answer is complete.
  uint32_t Seconds() const;

 private:
  std::array<uint8_t, kSize> buffer_{};
  size_t count_ = 0;
};

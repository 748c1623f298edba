// The reader of a time server's answer, fed a byte stream in fuzzed pieces: it
// takes exactly the first four bytes, never one beyond, and reads them most
// significant first.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tools/timereply.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

// Input: one byte of piece lengths per piece (low 3 bits), then the stream.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t pieces = 1 + data[0] % 8;
  if (size < 1 + pieces) return 0;
  const uint8_t* lengths = data + 1;
  const uint8_t* stream = data + 1 + pieces;
  const size_t streamSize = size - 1 - pieces;

  TimeReplyReader reader;
  reader.Append(stream, streamSize);  // whatever a previous request left is forgotten
  reader.Reset();
  Check(reader.Missing() == TimeReplyReader::kSize && reader.Seconds() == 0);

  size_t offered = 0, taken = 0;
  for (size_t i = 0; i < pieces && offered < streamSize; ++i) {
    const size_t length = std::min<size_t>(lengths[i] % 8, streamSize - offered);
    const size_t missingBefore = reader.Missing();
    const size_t took = reader.Append(stream + offered, length);
    Check(took == std::min(length, missingBefore));
    Check(reader.Missing() == missingBefore - took);
    offered += length;
    taken += took;
  }
  Check(taken == std::min<size_t>(offered, TimeReplyReader::kSize));
  Check(reader.Complete() == (taken == TimeReplyReader::kSize));
  if (reader.Complete()) {
    uint32_t expected = 0;
    for (size_t i = 0; i < 4; ++i) expected = expected * 256 + stream[i];
    Check(reader.Seconds() == expected);
    Check(reader.Append(stream, streamSize) == 0);
  } else {
    Check(reader.Seconds() == 0);
  }
  return 0;
}

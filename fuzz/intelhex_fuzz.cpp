// The firmware image's check, fed a file in fuzzed pieces: the verdict never
// depends on how the file is read, a refusal always names a line within the
// file (or the one after it) and a reason, and a file that passes ends with
// its end-of-file record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/intelhex.h"

namespace {
void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

// Input: one byte for the piece length, then the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t piece = 1 + data[0] % 32;
  const std::string_view image(reinterpret_cast<const char*>(data + 1), size - 1);

  const HexVerdict whole = CheckIntelHex(image);
  IntelHexChecker checker;
  for (size_t at = 0; at < image.size() && checker.Feed(image.substr(at, piece)); at += piece) {
  }
  const HexVerdict pieces = checker.Finish();
  Check(pieces.ok == whole.ok && pieces.line == whole.line && pieces.reason == whole.reason);

  size_t lines = 1;
  for (const char c : image) lines += c == '\n';
  if (whole.ok) {
    Check(whole.line == 0 && whole.reason.empty());
    // The last record is ":00AAAA01CC".
    const size_t last = image.rfind(':');
    Check(last != std::string_view::npos && image.substr(last + 1, 2) == "00" &&
          image.substr(last + 7, 2) == "01");
  } else {
    Check(whole.line >= 1 && whole.line <= lines + 1 && !whole.reason.empty());
  }
  return 0;
}

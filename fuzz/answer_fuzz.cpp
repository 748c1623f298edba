// The conversion of a device answer: TrimControl, ConvertNumber and
// ConvertVerdict against a reference written apart from them, digit by digit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "link/devicelink.h"

namespace {

std::optional<int> DigitValue(char c, int base) {
  int value = -1;
  if (c >= '0' && c <= '9')
    value = c - '0';
  else if (c >= 'a' && c <= 'f')
    value = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    value = c - 'A' + 10;
  if (value < 0 || value >= base) return std::nullopt;
  return value;
}

// Optional sign; then decimal digits, or hexadecimal digits after one of "$",
// "0x", "0X", "x", "X". A decimal value must fit a signed 32-bit integer; a
// hexadecimal one is a 32-bit pattern (at most 0xFFFFFFFF), negated after a "-".
std::optional<int32_t> ReferenceNumber(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  const std::string rest = text.substr(i);
  for (const char* prefix : {"0x", "0X", "$", "x", "X"}) {
    const std::string p = prefix;
    // A prefix with no digit after it is no prefix: "0x" alone is not a number either way.
    if (rest.size() > p.size() && rest.compare(0, p.size(), p) == 0) {
      base = 16;
      i += p.size();
      break;
    }
  }
  if (i == text.size()) return std::nullopt;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const std::optional<int> digit = DigitValue(text[i], base);
    if (!digit) return std::nullopt;
    magnitude = magnitude * base + *digit;
    if (magnitude > 0xFFFFFFFFull) return std::nullopt;  // beyond every allowed value
  }
  if (base == 16) {
    const uint32_t pattern = static_cast<uint32_t>(magnitude);
    return static_cast<int32_t>(negative ? 0u - pattern : pattern);
  }
  if (negative) {
    if (magnitude > 2147483648ull) return std::nullopt;
    return static_cast<int32_t>(0u - static_cast<uint32_t>(magnitude));
  }
  if (magnitude > 2147483647ull) return std::nullopt;
  return static_cast<int32_t>(magnitude);
}

std::string ReferenceTrim(const std::string& text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  size_t first = 0;
  while (first < text.size() && blank(text[first])) ++first;
  size_t last = text.size();
  while (last > first && blank(text[last - 1])) --last;
  return text.substr(first, last - first);
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string trimmed = DeviceLink::TrimControl(text);
  Check(trimmed == ReferenceTrim(text));

  for (const std::string& candidate : {text, trimmed}) {
    const std::optional<int32_t> expected = ReferenceNumber(candidate);
    Check(DeviceLink::ConvertNumber(candidate) == expected.value_or(-1));
    const int32_t verdict = candidate == "+" ? 0 : candidate == "-" ? 1 : -1;
    Check(DeviceLink::ConvertVerdict(candidate) == verdict);
  }
  return 0;
}

#include "link/answertext.h"

#include <charconv>
#include <string_view>

namespace DeviceLink {

std::string TrimControl(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && static_cast<unsigned char>(text[begin]) <= 32) ++begin;
  while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 32) --end;
  return text.substr(begin, end - begin);
}

std::optional<int32_t> ParseNumber(const std::string& text) {
  std::string_view rest = text;
  bool negative = false;
  if (!rest.empty() && (rest[0] == '-' || rest[0] == '+')) {
    negative = rest[0] == '-';
    rest.remove_prefix(1);
  }
  int base = 10;
  for (std::string_view prefix : {"0x", "0X", "$", "x", "X"}) {
    if (rest.size() > prefix.size() && rest.substr(0, prefix.size()) == prefix) {
      base = 16;
      rest.remove_prefix(prefix.size());
      break;
    }
  }
  if (rest.empty()) return std::nullopt;
  uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), magnitude, base);
  if (error != std::errc() || end != rest.data() + rest.size()) return std::nullopt;
  // Hexadecimal digits give the 32-bit pattern, so $FFFFFFFF is -1 as usual there.
  if (base == 16) {
    if (magnitude > 0xFFFFFFFFull) return std::nullopt;
    const int64_t value = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
    return static_cast<int32_t>(negative ? -value : value);
  }
  if (magnitude > (negative ? 2147483648ull : 2147483647ull)) return std::nullopt;
  return negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude)) : static_cast<int32_t>(magnitude);
}

int32_t ConvertNumber(const std::string& text) { return ParseNumber(text).value_or(-1); }

int32_t ConvertVerdict(const std::string& text) {
  if (text == "+") return 0;
  if (text == "-") return 1;
  return -1;
}

}  // namespace DeviceLink

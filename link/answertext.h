#pragma once
// How the clock's answer lines read: the conversions of the two query
// families. Pure text functions, shared by the channel and the account of
// answers owed.

#include <cstdint>
#include <optional>
#include <string>

namespace DeviceLink {

// Optional sign, then decimal digits, or hexadecimal digits after "$", "0x",
// "0X", "x" or "X"; nullopt when the text is no such 32-bit number.
std::optional<int32_t> ParseNumber(const std::string& text);
int32_t ConvertNumber(const std::string& text);    // -1 when not a 32-bit integer
int32_t ConvertVerdict(const std::string& text);   // "+" 0, "-" 1, else -1
std::string TrimControl(const std::string& text);  // strips chars <= 32 at both ends

}  // namespace DeviceLink

#pragma once
// A readable GoogleTest name for a case given by a text such as "-$10" or "":
// letters and digits stay, signs and blanks are spelled out ("MinusDollar10",
// "Empty"), since a test name may hold nothing else.

#include <cctype>
#include <string>

inline std::string ParamNameFromText(const std::string& text) {
  if (text.empty()) return "Empty";
  std::string name;
  for (unsigned char c : text) {
    if (std::isalnum(c)) {
      name += char(c);
      continue;
    }
    switch (c) {
      case '+':
        name += "Plus";
        break;
      case '-':
        name += "Minus";
        break;
      case '$':
        name += "Dollar";
        break;
      case ' ':
        name += "Blank";
        break;
      default:
        name += "Char" + std::to_string(int(c));
        break;
    }
  }
  return name;
}

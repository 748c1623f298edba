// The simulator's command line: the escapes in its texts against a reference,
// a round trip through an escaper, and the whole parser on fuzzed arguments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "devsim/programoptions.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// \r \n \t \\ and \x with exactly two hexadecimal digits; any other backslash is an error.
std::optional<std::string> ReferenceUnescape(const std::string& text) {
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '\\') {
      out.push_back(text[i++]);
      continue;
    }
    if (i + 1 >= text.size()) return std::nullopt;
    const char kind = text[i + 1];
    if (kind == 'r')
      out.push_back('\r');
    else if (kind == 'n')
      out.push_back('\n');
    else if (kind == 't')
      out.push_back('\t');
    else if (kind == '\\')
      out.push_back('\\');
    else if (kind == 'x') {
      if (i + 3 >= text.size()) return std::nullopt;
      const int high = HexValue(text[i + 2]), low = HexValue(text[i + 3]);
      if (high < 0 || low < 0) return std::nullopt;
      out.push_back(static_cast<char>(high * 16 + low));
      i += 4;
      continue;
    } else {
      return std::nullopt;
    }
    i += 2;
  }
  return out;
}

std::string Escape(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\\')
      out += "\\\\";
    else if (c >= 32 && c < 127)
      out.push_back(static_cast<char>(c));
    else {
      out += "\\x";
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 15]);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::string bytes;
  const bool ok = devsim::Unescape(text, bytes);
  const std::optional<std::string> expected = ReferenceUnescape(text);
  Check(ok == expected.has_value());
  if (ok) Check(bytes == *expected);

  std::string back;
  Check(devsim::Unescape(Escape(text), back) && back == text);

  // The same bytes as a command line, split at NUL bytes.
  std::vector<std::string> args{"vellamo-devsim"};
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '\0') {
      args.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  devsim::ProgramOptions options;
  std::string error;
  if (!devsim::ParseProgramOptions(static_cast<int>(argv.size()), argv.data(), options, error))
    Check(!error.empty());
  return 0;
}

// The speech set reader, SpeechSetLines, on any bytes. The reader gives the lines
// without their ends, each decoded; the check splits the same bytes apart from it,
// keeping each line's end, and asks:
//  - the reference lines joined with their ends give back the text up to the first
//    0x1A, so the reference itself loses and invents nothing;
//  - the reader has as many lines as the reference, a blank for a blank;
//  - each line is what its bytes say: a line of valid UTF-8 (checked here by the
//    rules of RFC 3629, not by Qt) encodes back to its own bytes, a leading byte
//    order mark aside; any other line has one character per byte, the character
//    glibc's iconv gives for it in Windows-1252, or the C1 control of the same
//    value for the five codes Windows-1252 leaves undefined.
#include <iconv.h>

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "speech/speechset.h"

namespace {

void Fail(const char* what) {
  std::fprintf(stderr, "speechset_fuzz: %s\n", what);
  std::abort();
}

struct Line {
  std::string text;
  std::string end;  // "\r\n", "\r", "\n", or "" for a last line without an end
};

// Byte by byte: a line runs to the next CR or LF; a CR directly followed by an
// LF ends it together with that LF.
std::vector<Line> ReferenceLines(const std::string& text) {
  std::vector<Line> lines;
  Line current;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r') {
      current.end = c;
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') current.end += text[++i];
      lines.push_back(current);
      current = Line{};
    } else {
      current.text += c;
    }
  }
  if (!current.text.empty()) lines.push_back(current);
  return lines;
}

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t more = 0;
    uint32_t cp = 0, least = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      more = 1, cp = b & 0x1F, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      more = 2, cp = b & 0x0F, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      more = 3, cp = b & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (i + more >= s.size()) return false;  // cut short by the line's end
    for (size_t k = 1; k <= more; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

// The UTF-16 code unit glibc gives for one Windows-1252 byte; 0 where it has none.
char16_t Windows1252(unsigned char byte) {
  static const std::vector<char16_t> table = [] {
    std::vector<char16_t> t(256, 0);
    iconv_t cd = iconv_open("UTF-16LE", "WINDOWS-1252");
    if (cd == reinterpret_cast<iconv_t>(-1)) Fail("iconv has no Windows-1252");
    for (int b = 0; b < 256; ++b) {
      char in = static_cast<char>(b);
      unsigned char out[4] = {};
      char* inPtr = &in;
      char* outPtr = reinterpret_cast<char*>(out);
      size_t inLeft = 1, outLeft = sizeof out;
      if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1) && outLeft == 2)
        t[b] = char16_t(out[0] | out[1] << 8);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    return t;
  }();
  return table[byte];
}

void CheckLine(const std::string& bytes, const QString& text) {
  if (ValidUtf8(bytes)) {
    std::string expected = bytes;
    if (expected.rfind("\xEF\xBB\xBF", 0) == 0) expected.erase(0, 3);  // a byte order mark is no text
    if (text.toUtf8().toStdString() != expected) Fail("a UTF-8 line does not encode back to its bytes");
    return;
  }
  if (text.size() != qsizetype(bytes.size())) Fail("a Windows-1252 line is not one character per byte");
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    const char16_t known = Windows1252(byte);
    const char16_t expected = known != 0 ? known : char16_t(byte);
    if (text[qsizetype(i)].unicode() != expected) Fail("a Windows-1252 byte became another character");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string contents(reinterpret_cast<const char*>(data), size);
  const std::string text = contents.substr(0, contents.find('\x1a'));
  const std::vector<Line> reference = ReferenceLines(text);

  std::string joined;
  for (const Line& line : reference) joined += line.text + line.end;
  if (joined != text) Fail("the lines with their ends do not give back the text");

  const QStringList lines = SpeechSetLines(QByteArray(contents.data(), qsizetype(contents.size())));
  if (lines.size() != qsizetype(reference.size())) Fail("the reader has another number of lines");
  for (qsizetype i = 0; i < lines.size(); ++i) CheckLine(reference[size_t(i)].text, lines[i]);
  return 0;
}

// The firmware image's check: one case per rule, each naming the first bad
// line and why.

#include "tools/intelhex.h"

#include <gmock/gmock.h>

#include <string>

using testing::HasSubstr;

namespace {

const std::string kData1 = ":10010000214601360121470136007EFE09D2190140";
const std::string kData2 = ":100110002146017E17C20001FF5F16002148011928";
const std::string kSegment = ":020000021200EA";
const std::string kStartSegment = ":0400000300003800C1";
const std::string kLinear = ":020000040000FA";
const std::string kStartLinear = ":04000005000000CD2A";
const std::string kEnd = ":00000001FF";

struct HexCase {
  const char* rule;
  std::string image;
  size_t badLine;      // 0: the image is good
  const char* reason;  // a part of the German reason
};

const HexCase kCases[] = {
    {"every known record type, CR LF",
     kLinear + "\r\n" + kSegment + "\r\n" + kStartSegment + "\r\n" + kData1 + "\r\n" + kStartLinear + "\r\n" +
         kEnd + "\r\n",
     0, ""},
    {"LF, the last line without a line end", kData1 + "\n" + kData2 + "\n" + kEnd, 0, ""},
    {"line ends after the end record", kData1 + "\n" + kEnd + "\n\n\r\n\n", 0, ""},
    {"lower-case digits", ":10010000214601360121470136007efe09d2190140\n" + kEnd + "\n", 0, ""},
    {"a wrong checksum", kData1 + "\n:100110002146017E17C20001FF5F16002148011929\n" + kEnd + "\n", 2,
     "Prüfsumme stimmt nicht (29 gelesen, 28 erwartet)"},
    {"a line without its colon", kData1.substr(1) + "\n" + kEnd + "\n", 1, "beginnt nicht mit \":\""},
    {"a character that is no digit", kData1 + "\n:1001100021460G7E17C20001FF5F16002148011928\n" + kEnd, 2,
     "Zeichen 15 ist keine Hexadezimalziffer"},
    {"a record shorter than its frame", kData1 + "\n:00000001\n", 2, "zu kurz"},
    {"a length that is not the byte count", ":10010000214601360121470136007EFE09D21940\n" + kEnd, 1,
     "Byteanzahl 16"},
    {"an unknown record type", kData1 + "\n:00000006FA\n" + kEnd, 2, "Unbekannter Satztyp 06"},
    {"a known type with the wrong length", ":0100000400FB\n" + kData1 + "\n" + kEnd, 1,
     "Typ 04 hat 2 Datenbytes, dieser 1"},
    {"no data record", kLinear + "\n" + kEnd + "\n", 2, "kein Datensatz"},
    {"only an empty data record", ":0000000000\n" + kEnd + "\n", 2, "kein Datensatz"},
    {"no end record: a download cut after a line", kData1 + "\n" + kData2 + "\n", 3, "Dateiende-Satz fehlt"},
    {"no end record: a download cut in a line", kData1 + "\n" + kData2.substr(0, 20), 2, "Byteanzahl"},
    {"two end records", kData1 + "\n" + kEnd + "\n\n" + kEnd + "\n", 4, "folgt noch etwas"},
    {"text after the end record", kData1 + "\n" + kEnd + "\r\nSignatur\n", 3, "folgt noch etwas"},
    {"a blank line before the end record", kData1 + "\n\n" + kEnd + "\n", 2, "Leere Zeile"},
    {"an empty file", "", 1, "leer"},
    {"a text file", "Hallo Welt\n", 1, "beginnt nicht mit"},
    {"a binary file without line ends", std::string(100000, '\x7f'), 1, "länger als jeder mögliche Satz"},
};

void PrintTo(const HexCase& c, std::ostream* os) { *os << c.rule; }

class IntelHexRules : public testing::TestWithParam<HexCase> {};

TEST_P(IntelHexRules, NameTheFirstBadLine) {
  const HexCase& c = GetParam();
  SCOPED_TRACE(c.rule);
  const HexVerdict verdict = CheckIntelHex(c.image);
  EXPECT_EQ(verdict.ok, c.badLine == 0) << verdict.reason;
  EXPECT_EQ(verdict.line, c.badLine);
  EXPECT_THAT(verdict.reason, HasSubstr(c.reason));
  if (c.badLine == 0) {
    EXPECT_EQ(verdict.reason, "");
  }
}

// Fed in pieces of any size, the verdict is the same as fed whole.
TEST_P(IntelHexRules, DoNotDependOnHowTheImageIsRead) {
  const HexCase& c = GetParam();
  const HexVerdict whole = CheckIntelHex(c.image);
  for (size_t piece : {size_t{1}, size_t{2}, size_t{7}, size_t{64}}) {
    IntelHexChecker checker;
    for (size_t at = 0; at < c.image.size() && checker.Feed(std::string_view(c.image).substr(at, piece));
         at += piece) {
    }
    const HexVerdict read = checker.Finish();
    EXPECT_EQ(read.ok, whole.ok) << c.rule << ", pieces of " << piece;
    EXPECT_EQ(read.line, whole.line) << c.rule << ", pieces of " << piece;
    EXPECT_EQ(read.reason, whole.reason) << c.rule << ", pieces of " << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(Each, IntelHexRules, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<HexCase>& info) {
                           return "Case" + std::to_string(info.index);
                         });

// A large wrong file is read only up to its first fault.
TEST(IntelHexChecker, StopsAtTheFirstFault) {
  IntelHexChecker checker;
  EXPECT_TRUE(checker.Feed(kData1 + "\n"));
  EXPECT_FALSE(checker.Feed("#\n"));
  EXPECT_FALSE(checker.Feed(kData2 + "\n" + kEnd + "\n"));
  EXPECT_EQ(checker.Finish().line, 2u);
}

}  // namespace

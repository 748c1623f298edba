// The speech set reader: where lines end, where the text ends, and how 8-bit
// names become file names.
#include "speech/speechset.h"

#include <gmock/gmock.h>

#include <QFile>
#include <QTemporaryDir>

namespace {

struct LinesCase {
  const char* name;
  QByteArray contents;
  QStringList lines;
};

void PrintTo(const LinesCase& c, std::ostream* os) { *os << c.name; }

class SpeechSetLinesTest : public ::testing::TestWithParam<LinesCase> {};

TEST_P(SpeechSetLinesTest, SplitsAsWindowsEditorsAndLinuxEditorsWriteThem) {
  EXPECT_EQ(SpeechSetLines(GetParam().contents), GetParam().lines);
}

using B = QByteArray;
using L = QStringList;

INSTANTIATE_TEST_SUITE_P(
    Reader, SpeechSetLinesTest,
    ::testing::Values(LinesCase{"CrLf", B("a.wav\r\nb.wav\r\n"), L{"a.wav", "b.wav"}},
                      LinesCase{"CrAlone", B("a.wav\rb.wav\r"), L{"a.wav", "b.wav"}},
                      LinesCase{"LfAloneEndsALine", B("a.wav\nb.wav\n"), L{"a.wav", "b.wav"}},
                      LinesCase{"Mixed", B("a\r\nb\rc\nd"), L{"a", "b", "c", "d"}},
                      LinesCase{"LfThenCrAreTwoLineEnds", B("a\n\rb"), L{"a", "", "b"}},
                      LinesCase{"CrThenCrLfAreTwoLineEnds", B("a\r\r\nb"), L{"a", "", "b"}},
                      LinesCase{"EndOfTextInTheMiddle", B("a\r\nb\x1a\r\nc\r\n"), L{"a", "b"}},
                      LinesCase{"EndOfTextInsideALine",
                                B("a\r\nbc\x1a"
                                  "d\r\n"),
                                L{"a", "bc"}},
                      LinesCase{"EndOfTextAtTheStart",
                                B("\x1a"
                                  "a\r\nb\r\n"),
                                L{}},
                      LinesCase{"LastLineWithoutEnd", B("a\r\nb"), L{"a", "b"}},
                      LinesCase{"RepeatedLineEndsAddBlankLines", B("a\r\n\r\n\r\n"), L{"a", "", ""}},
                      LinesCase{"BlankLineInTheMiddle", B("a\r\n\r\nb\r\n"), L{"a", "", "b"}},
                      LinesCase{"EmptyFile", B(""), L{}},
                      LinesCase{"OneLineEndIsOneBlankLine", B("\r\n"), L{""}},
                      LinesCase{"BlankLinesOnly", B("\r\n\r\n\r\n"), L{"", "", ""}},
                      LinesCase{"BlanksAroundANameAreKept", B("  a b.wav \t\r\n"), L{"  a b.wav \t"}},
                      LinesCase{"SubfolderWithBackslash", B("deutsch\\eins.wav\r\n"),
                                L{"deutsch\\eins.wav"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct TextCase {
  const char* name;
  QByteArray line;
  QString text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class SpeechSetLineTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(SpeechSetLineTextTest, ValidUtf8StaysUtf8AndAnythingElseIsWindows1252) {
  EXPECT_EQ(SpeechSetLineText(GetParam().line), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Reader, SpeechSetLineTextTest,
    ::testing::Values(
        TextCase{"Ascii", B("eins.wav"), QStringLiteral("eins.wav")},
        TextCase{"UmlautsAsWindows1252", B("\xe4\xf6\xfc\xdf.wav"), QStringLiteral("äöüß.wav")},
        TextCase{"UmlautsAsUtf8", B("\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f.wav"), QStringLiteral("äöüß.wav")},
        TextCase{"CapitalUmlautsAsWindows1252", B("\xc4\xd6\xdc.wav"), QStringLiteral("ÄÖÜ.wav")},
        // 0x80 to 0x9F are where Windows-1252 is not Latin-1.
        TextCase{"EuroAndQuotesAsWindows1252", B("\x80\x84\x93.wav"),
                 QString::fromUtf8("\u20ac\u201e\u201c.wav")},
        // A lone UTF-8 lead byte makes the whole line 8-bit text.
        TextCase{"BrokenUtf8IsWindows1252", B("\xc3.wav"), QStringLiteral("Ã.wav")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SpeechSetReader, EachLineIsDecodedOnItsOwn) {
  EXPECT_EQ(SpeechSetLines(B("gr\xc3\xbc\xc3\x9f.wav\r\ngr\xfc\xdf.wav\r\n")),
            (L{QStringLiteral("grüß.wav"), QStringLiteral("grüß.wav")}));
}

TEST(SpeechSetReader, ReadsAFileAndFailsOnAMissingOne) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QFile file(dir.filePath("set.ini"));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("eins.wav\r\n\r\nzwei.wav\r\n");
  file.close();

  QStringList lines{"left over"};
  EXPECT_TRUE(ReadSpeechSet(dir.filePath("set.ini"), lines));
  EXPECT_EQ(lines, (L{"eins.wav", "", "zwei.wav"}));
  EXPECT_FALSE(ReadSpeechSet(dir.filePath("missing.ini"), lines));
  EXPECT_TRUE(lines.isEmpty());
  EXPECT_FALSE(ReadSpeechSet(dir.path(), lines)) << "a folder is not a speech set";
}

}  // namespace
